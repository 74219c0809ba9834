// The pairing agent at /org/bluez/agent that auto-accepts every request.
#pragma once
#include <gio/gio.h>

extern const char* const agent_xml;
extern const GDBusInterfaceVTable agent_vtable;

// Exports (once) and registers the agent; on failure error_msg says why.
bool agent_setup();

void agent_method_call(GDBusConnection* connection, const gchar* sender, const gchar* object_path,
                       const gchar* interface, const gchar* method, GVariant* parameters,
                       GDBusMethodInvocation* invocation, gpointer user_data);
