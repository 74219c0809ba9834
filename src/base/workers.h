// Worker threads that end by themselves (downloads, the automatic connect):
// each is still joined before the program's state goes away at exit.
#pragma once
#include <glib.h>

// Like g_thread_try_new; the thread is kept for join_workers. Any thread.
bool start_worker(const char* name, GThreadFunc body, gpointer data, GError** error = nullptr);
// Waits for every worker started so far; the main thread at exit, after
// closing the buses their calls wait on.
void join_workers();
