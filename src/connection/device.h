// The phone's object at BlueZ: reading what BlueZ knows of it, and the
// connect of the phone that BlueZ is asked for ("auto_connect").
#pragma once
#include <gio/gio.h>

#include <optional>
#include <string>

// What BlueZ told of a device; a property it did not give stays empty.
struct PhoneIdentity {
    bool read = false;   // BlueZ answered
    std::optional<std::string> addr, name;
    std::optional<bool> paired;
};
// Main thread: one synchronous Properties.GetAll.
PhoneIdentity read_phone(const char* path);
// Thread body of "auto_connect"; takes ownership of a g_strdup'ed device path.
gpointer connect_thread(gpointer path_copy);
// Starts "auto_connect" for the phone at path; a thread that cannot start
// reports failure. Its end is told by AutoConnectDone.
bool start_auto_connect(const char* path);
// Device1.Disconnect, not waited for; its outcome is logged.
void disconnect_phone(const char* path);
