// BlueZ signals that drive the connection state live.
#pragma once
#include <gio/gio.h>

void on_properties_changed(GDBusConnection* connection, const gchar* sender, const gchar* object_path,
                           const gchar* interface, const gchar* signal_name, GVariant* parameters,
                           gpointer user_data);
void on_interfaces_removed(GDBusConnection* connection, const gchar* sender, const gchar* object_path,
                           const gchar* interface, const gchar* signal_name, GVariant* parameters,
                           gpointer user_data);
