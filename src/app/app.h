// Process entry, command line, activation and the startup sequence.
#pragma once
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstddef>
#include <string>

extern GtkApplication* app;
extern char pending_uri_arg[256];
extern GDBusConnection* dbus_conn;
extern char error_msg[256];

// The number waiting to be dialled once the hands-free link can carry it.
// Written on the main loop, taken by the listener thread: always go through
// these so a number is dialled once and only once.
void pending_dial_set(const char* number);
std::string pending_dial_take();   // empties it; "" when nothing waits
std::string pending_dial_peek();

// Digits and '+' of a "tel:" argument (optionally "tel://"), at most 255.
// Returns false, leaving out untouched, when arg does not start with "tel:".
bool filter_tel_argument(const char* arg, char* out, size_t out_size);

int on_app_command_line(GApplication* application, GApplicationCommandLine* command_line, gpointer);
void on_app_activate(GApplication* application, gpointer);

// What the one-time GetManagedObjects scan found.
struct StartupScan {
    std::string connected_path;   // first connected Device1, wins outright
    std::string paired_path;      // else the first paired Device1
};
StartupScan scan_managed_objects(GVariant* reply);   // reply of type (a{oa{sa{sv}}})

int telvane_main(int argc, char** argv);
