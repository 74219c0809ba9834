// The system bus the program talks to BlueZ over.
#pragma once
#include <gio/gio.h>

#include <string>

// Main thread only: opened once (open_system_bus), closed at exit, never replaced;
// workers started after that use the pointer as it is.
extern GDBusConnection* dbus_conn;

// Opens the system bus into dbus_conn and subscribes BlueZ's signals; on
// failure why says why ("D-Bus error: ..."). Main thread.
bool open_system_bus(std::string* why);
// BlueZ is there (at start, or back): register the profile, listen for the
// phone's voice links and tell the phone BlueZ knows (PhoneFound). Main thread.
void bluez_start();

// What the one-time GetManagedObjects scan found.
struct StartupScan {
    std::string connected_path;   // first connected Device1, wins outright
    std::string paired_path;      // else the first paired Device1
};
// reply of type (a{oa{sa{sv}}}); only phones below adapter count.
StartupScan scan_managed_objects(GVariant* reply, const char* adapter);
