// Closing the window while a call is up asks first.
#pragma once
#include <gtk/gtk.h>

// "delete-event" of the main window: lets it close when no call is up;
// otherwise asks once, and on yes ends the call as Hang up does and closes.
gboolean on_window_delete_event(GtkWidget* widget, GdkEvent*, gpointer);
