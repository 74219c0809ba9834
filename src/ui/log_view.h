// The Log tab: the event log's lines as they come, the recent past kept.
#pragma once
#include <gtk/gtk.h>

#include <atomic>

// Main loop only: set by the window build, cleared as it goes; any thread
// reads them (atomic) to know whether the Log tab exists.
extern std::atomic<GtkTextBuffer*> log_buffer;
extern std::atomic<GtkWidget*> log_view;

// Main-loop idle callback: appends a g_malloc'ed line it takes over.
gboolean append_log_ui(gpointer text);

// Sends the log's lines to the tab, once it exists. Once at start.
void install_log_tab();
