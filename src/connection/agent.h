// The pairing agent at /org/bluez/agent: while the user pairs a phone it
// accepts that phone's requests without asking.
#pragma once
#include <gio/gio.h>

// Constant: the agent's interface and its handlers (run on the main loop).
extern const char* const agent_xml;
extern const GDBusInterfaceVTable agent_vtable;

// Exports (once) and registers the agent; on failure error_msg says why.
bool agent_setup();
// Withdraws the agent from BlueZ (Stop, end of discoverability).
void agent_unregister();

void agent_method_call(GDBusConnection* connection, const gchar* sender, const gchar* object_path,
                       const gchar* interface, const gchar* method, GVariant* parameters,
                       GDBusMethodInvocation* invocation, gpointer user_data);
