#include "connection/signals.h"

void on_properties_changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                           gpointer)
{
}

void on_interfaces_removed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                           gpointer)
{
}
