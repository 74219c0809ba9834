// Every call the program makes to the BlueZ daemon, with its fixed
// arguments, reply type and timeout. Synchronous; callers own the GError.
#pragma once
#include <gio/gio.h>

#include <string>

namespace bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAgentPath = "/org/bluez/agent";
inline constexpr const char* kAgentCapability = "DisplayYesNo";
inline constexpr int kDefaultTimeout = -1;
inline constexpr int kConnectTimeoutMs = 30000;
inline constexpr int kDisconnectTimeoutMs = 5000;
// An adapter's power-on runs its whole controller set-up (firmware, the
// host's commands): seconds on some USB adapters.
inline constexpr int kPowerTimeoutMs = 20000;
inline constexpr int kConnectProfileTimeoutMs = 5000;
// Asking the bus daemon who owns a name is local; it never takes long.
inline constexpr int kNameOwnerTimeoutMs = 1000;
inline constexpr const char* kHfpHfUuid = "0000111e-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kHfpAgUuid = "0000111f-0000-1000-8000-00805f9b34fb";

// "(a{oa{sa{sv}}})" or null.
GVariant* get_managed_objects(GDBusConnection* bus, GError** error);
bool set_adapter_property(GDBusConnection* bus, const char* adapter, const char* name, GVariant* value,
                          GError** error);
// "(a{sv})" or null.
GVariant* get_device_properties(GDBusConnection* bus, const char* device, GError** error);
bool connect_device(GDBusConnection* bus, const char* device, GError** error);
bool disconnect_device(GDBusConnection* bus, const char* device, GError** error);
bool connect_profile(GDBusConnection* bus, const char* device, const char* uuid, GError** error);
bool register_agent(GDBusConnection* bus, GError** error);
bool request_default_agent(GDBusConnection* bus, GError** error);
bool unregister_agent(GDBusConnection* bus, GError** error);
// "(a{sv})" of the adapter's Adapter1, or null (no such adapter, no BlueZ).
GVariant* get_adapter_properties(GDBusConnection* bus, const char* adapter, GError** error);

// Unique name of the connection that owns "org.bluez" now, or "" when
// nobody does (or the bus daemon does not answer in time).
std::string service_owner(GDBusConnection* bus);
// Whether a method call on one of our exported objects came from BlueZ:
// any other program on the system bus can call them too.
bool sent_by_bluez(GDBusConnection* bus, const char* sender);

guint subscribe_properties_changed(GDBusConnection* bus, GDBusSignalCallback handler);
guint subscribe_interfaces_removed(GDBusConnection* bus, GDBusSignalCallback handler);

}  // namespace bluez
