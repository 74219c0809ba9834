// The tests' own calls towards the application's pairing agent and window,
// beside what the stand-in BlueZ does (tools/world/bluez_behaviour.h).
#pragma once
#include "harness.h"
#include "world/bluez_behaviour.h"

#include <gio/gio.h>

#include <string>

namespace th {

// Calls the agent directly from conn: to the agent, a stranger on the bus.
std::string call_agent_from(GDBusConnection* conn, const std::string& dest, const std::string& method,
                            GVariant* params);

// Asks every top-level window on the X display to close, as a window
// manager's close button does (WM_DELETE_WINDOW).
bool close_all_windows(const std::string& display);

}  // namespace th
