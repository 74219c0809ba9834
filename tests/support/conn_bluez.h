// Playing BlueZ's part towards the application's pairing agent and device
// calls, on top of the mock BlueZ of harness.h.
#pragma once
#include "harness.h"

#include <gio/gio.h>

#include <string>

namespace th {

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

// Calls the agent directly from conn: to the agent, a stranger on the bus.
std::string call_agent_from(GDBusConnection* conn, const std::string& dest, const std::string& method,
                            GVariant* params);

// How a device answers Device1.Connect. Connect and Disconnect also keep the
// stored "Connected" property right, which the template forgets.
enum class ConnectAnswer { Connects, Fails, ConnectsThenFails, NeverAnswers };
void script_device(MockBluez& bluez, const std::string& device_path, ConnectAnswer answer);

// Asks every top-level window on the X display to close, as a window
// manager's close button does (WM_DELETE_WINDOW).
bool close_all_windows(const std::string& display);

// A boolean or unsigned property of the mock's hci0, printed ("true", "uint32 0").
std::string adapter_property(MockBluez& bluez, const std::string& name);

}  // namespace th
