#include "connection/agent.h"

#include "app/app.h"

#include <glib.h>

bool agent_setup()
{
    g_strlcpy(error_msg, "Agent registration error: not available yet", sizeof error_msg);
    return false;
}

void agent_method_call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                       GDBusMethodInvocation* invocation, gpointer)
{
    g_dbus_method_invocation_return_value(invocation, nullptr);
}
