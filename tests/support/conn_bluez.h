// The tests' own calls towards the application's pairing agent, beside what
// the stand-in BlueZ does (tools/world/bluez_behaviour.h).
#pragma once
#include "harness.h"
#include "world/bluez_behaviour.h"

#include <gio/gio.h>

#include <string>

namespace th {

// Calls the agent directly from conn: to the agent, a stranger on the bus.
inline std::string call_agent_from(GDBusConnection* conn, const std::string& dest, const std::string& method,
                                   GVariant* params)
{
    return call_described(conn, dest.c_str(), "/org/bluez/agent", "org.bluez.Agent1", method.c_str(), params);
}

}  // namespace th
