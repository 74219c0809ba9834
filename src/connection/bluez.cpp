#include "connection/bluez.h"

namespace bluez {
namespace {

GVariant* call(GDBusConnection* bus, const char* path, const char* iface, const char* method,
               GVariant* params, const GVariantType* reply_type, int timeout, GError** error)
{
    return g_dbus_connection_call_sync(bus, kService, path, iface, method, params, reply_type,
                                       G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, error);
}

bool call_void(GDBusConnection* bus, const char* path, const char* iface, const char* method,
               GVariant* params, int timeout, GError** error)
{
    GVariant* reply = call(bus, path, iface, method, params, nullptr, timeout, error);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

}  // namespace

GVariant* get_managed_objects(GDBusConnection* bus, GError** error)
{
    return call(bus, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", nullptr,
                G_VARIANT_TYPE("(a{oa{sa{sv}}})"), kDefaultTimeout, error);
}

bool set_adapter_property(GDBusConnection* bus, const char* adapter, const char* name, GVariant* value,
                          GError** error)
{
    return call_void(bus, adapter, "org.freedesktop.DBus.Properties", "Set",
                     g_variant_new("(ssv)", "org.bluez.Adapter1", name, value), kDefaultTimeout, error);
}

GVariant* get_device_properties(GDBusConnection* bus, const char* device, GError** error)
{
    return call(bus, device, "org.freedesktop.DBus.Properties", "GetAll",
                g_variant_new("(s)", "org.bluez.Device1"), G_VARIANT_TYPE("(a{sv})"), kDefaultTimeout, error);
}

bool connect_device(GDBusConnection* bus, const char* device, GError** error)
{
    return call_void(bus, device, "org.bluez.Device1", "Connect", nullptr, kConnectTimeoutMs, error);
}

bool disconnect_device(GDBusConnection* bus, const char* device, GError** error)
{
    return call_void(bus, device, "org.bluez.Device1", "Disconnect", nullptr, kDisconnectTimeoutMs, error);
}

bool connect_profile(GDBusConnection* bus, const char* device, const char* uuid, GError** error)
{
    return call_void(bus, device, "org.bluez.Device1", "ConnectProfile", g_variant_new("(s)", uuid),
                     kConnectProfileTimeoutMs, error);
}

bool register_agent(GDBusConnection* bus, GError** error)
{
    return call_void(bus, "/org/bluez", "org.bluez.AgentManager1", "RegisterAgent",
                     g_variant_new("(os)", kAgentPath, kAgentCapability), kDefaultTimeout, error);
}

bool request_default_agent(GDBusConnection* bus, GError** error)
{
    return call_void(bus, "/org/bluez", "org.bluez.AgentManager1", "RequestDefaultAgent",
                     g_variant_new("(o)", kAgentPath), kDefaultTimeout, error);
}

bool unregister_agent(GDBusConnection* bus, GError** error)
{
    return call_void(bus, "/org/bluez", "org.bluez.AgentManager1", "UnregisterAgent",
                     g_variant_new("(o)", kAgentPath), kDefaultTimeout, error);
}

GVariant* get_adapter_properties(GDBusConnection* bus, const char* adapter, GError** error)
{
    return call(bus, adapter, "org.freedesktop.DBus.Properties", "GetAll",
                g_variant_new("(s)", "org.bluez.Adapter1"), G_VARIANT_TYPE("(a{sv})"), kDefaultTimeout, error);
}

std::string service_owner(GDBusConnection* bus)
{
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", kService),
                                                  G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, kNameOwnerTimeoutMs,
                                                  nullptr, nullptr);
    if (!reply)
        return {};
    const gchar* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    std::string result = owner;
    g_variant_unref(reply);
    return result;
}

guint subscribe_properties_changed(GDBusConnection* bus, GDBusSignalCallback handler)
{
    return g_dbus_connection_signal_subscribe(bus, kService, "org.freedesktop.DBus.Properties",
                                              "PropertiesChanged", nullptr, nullptr,
                                              G_DBUS_SIGNAL_FLAGS_NONE, handler, nullptr, nullptr);
}

guint subscribe_interfaces_removed(GDBusConnection* bus, GDBusSignalCallback handler)
{
    return g_dbus_connection_signal_subscribe(bus, kService, "org.freedesktop.DBus.ObjectManager",
                                              "InterfacesRemoved", nullptr, nullptr,
                                              G_DBUS_SIGNAL_FLAGS_NONE, handler, nullptr, nullptr);
}

bool sent_by_bluez(GDBusConnection* bus, const char* sender)
{
    if (!sender)
        return false;
    std::string owner = service_owner(bus);
    return !owner.empty() && owner == sender;
}

}  // namespace bluez
