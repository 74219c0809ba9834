// What the stand-in BlueZ does beyond python3-dbusmock's template, as the
// real daemon does it: it calls an application's pairing agent from its own
// connection, and its devices answer Connect and Disconnect as real ones.
#pragma once
#include "world/buses.h"

#include <gio/gio.h>

#include <string>

namespace th {

// Calls method on dest's path and interface, waiting while the default main
// context runs (so an answer from this very process can come). Returns "ok",
// "ok <first value printed>", the string a "(s)" reply holds, "error <D-Bus
// error name>: <message>", or "no answer".
std::string call_described(GDBusConnection* conn, const char* dest, const char* path, const char* iface,
                           const char* method, GVariant* params);

// Teaches the mock to call an application's agent from its own connection,
// the one that owns "org.bluez", as the real daemon does. Idempotent.
void install_agent_caller(MockBluez& bluez);

// Calls method on the agent at dest ("/org/bluez/agent") through the mock.
// Returns "ok", "ok <value>" or "error <D-Bus error name>: <message>".
// Method "AuthorizeHid" is AuthorizeService for a keyboard's HID service.
// The default main context keeps running meanwhile, so an agent living in
// this very process can answer.
std::string call_agent_as_bluez(DbusDaemon& system_bus, const std::string& dest, const std::string& method,
                                const std::string& device = "/", unsigned passkey = 0);

// Gives a mock device what BlueZ knows of a phone (its class) or of a
// keyboard (its class and HID service).
void make_phone(MockBluez& bluez, const std::string& device_path, bool phone = true);

// How a device answers Device1.Connect. Connect and Disconnect also keep the
// stored "Connected" property right, which the template forgets.
enum class ConnectAnswer { Connects, Fails, ConnectsThenFails, NeverAnswers };
void script_device(MockBluez& bluez, const std::string& device_path, ConnectAnswer answer);

// A boolean or unsigned property of the mock's hci0, printed ("true", "uint32 0").
std::string adapter_property(MockBluez& bluez, const std::string& name);

}  // namespace th
