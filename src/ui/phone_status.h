// The phone's battery, signal and network state in the window's header.
#pragma once
#include <gtk/gtk.h>

#include "core/views.h"

#include <string>
#include <string_view>
#include <vector>

// Main thread: the header's status box (packed by the window) and its refresh
// from the phone's latest indicator values.
GtkWidget* build_phone_status();
void update_phone_status();
