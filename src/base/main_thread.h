// set_state, update_ui and every widget access belong to the GTK main loop.
#pragma once
#include <glib.h>

#ifndef NDEBUG
#define ASSERT_MAIN_THREAD() g_assert(g_main_context_is_owner(g_main_context_default()))
#else
#define ASSERT_MAIN_THREAD() ((void)0)
#endif
