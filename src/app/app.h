// Process entry, command line, activation and the startup sequence.
#pragma once
#include <gio/gio.h>
#include <gtk/gtk.h>

#include <cstddef>
#include <string>

// Set on the main thread before the main loop runs; only read after that.
extern GtkApplication* app;
// Main loop only: a tel: link from the command line until it is queued.
extern char pending_uri_arg[256];
// Opened once on the main loop (open_system_bus) and never closed or
// replaced; workers started after that use the pointer as it is.
extern GDBusConnection* dbus_conn;
// Main loop only: why the last step failed, for the header's ERROR text.
extern char error_msg[256];

// The number waiting to be dialled once the hands-free link can carry it.
// Written on the main loop, taken by the listener thread: always go through
// these so a number is dialled once and only once. It expires after
// kPendingDialSeconds (logged), and the user may cancel it.
inline constexpr int kPendingDialSeconds = 60;
void pending_dial_set(const char* number);   // main thread
std::string pending_dial_take();   // empties it; "" when nothing (valid) waits
std::string pending_dial_peek();
void pending_dial_cancel();        // main thread

// Takes a tel: link from the command line into pending_uri_arg, or logs
// why it is refused. Anything but a tel: link is ignored.
void accept_tel_argument(const char* arg);

// Opens the system bus into dbus_conn and subscribes BlueZ's signals; on
// failure error_msg says why. Main thread.
bool open_system_bus();

int on_app_command_line(GApplication* application, GApplicationCommandLine* command_line, gpointer);
void on_app_activate(GApplication* application, gpointer);

// What the one-time GetManagedObjects scan found.
struct StartupScan {
    std::string connected_path;   // first connected Device1, wins outright
    std::string paired_path;      // else the first paired Device1
};
// reply of type (a{oa{sa{sv}}}); only phones below adapter count.
StartupScan scan_managed_objects(GVariant* reply, const char* adapter);

int telvane_main(int argc, char** argv);
