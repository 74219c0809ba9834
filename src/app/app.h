// Process entry, command line, activation and the startup sequence.
#pragma once
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstddef>
#include <string>

#include "connection/system_bus.h"
#include "hfp/pending_dial.h"

// Main thread only: set before the main loop runs, cleared after it returns.
extern GtkApplication* app;
// Main loop only: a tel: link from the command line until it is queued.
extern char pending_uri_arg[256];

// Takes a tel: link from the command line into pending_uri_arg, or logs
// why it is refused. Anything but a tel: link is ignored.
void accept_tel_argument(const char* arg);

int on_app_command_line(GApplication* application, GApplicationCommandLine* command_line, gpointer);
void on_app_activate(GApplication* application, gpointer);

int telvane_main(int argc, char** argv);
