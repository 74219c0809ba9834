// The pairing agent at /org/bluez/agent: while the user pairs a phone it
// accepts that phone's requests without asking.
#pragma once
#include <gio/gio.h>

#include <string>

// Constant: the agent's interface and its handlers (run on the main loop).
extern const char* const agent_xml;
extern const GDBusInterfaceVTable agent_vtable;

// Exports (once) and registers the agent; on failure why says why.
bool agent_setup(std::string* why);
// The store opens pairing in DISCOVERABLE and PAIRING; else every request
// that grants access is refused.
void agent_open_pairing(bool open);
// Withdraws the agent from BlueZ (Stop, end of discoverability).
void agent_unregister();

void agent_method_call(GDBusConnection* connection, const gchar* sender, const gchar* object_path,
                       const gchar* interface, const gchar* method, GVariant* parameters,
                       GDBusMethodInvocation* invocation, gpointer user_data);
