#include "connection/phone_device.h"

#include "connection/system_bus.h"
#include "connection/bluez.h"
#include "connection/adapter.h"

#include <cstring>

namespace {
constexpr guint32 kMajorClassPhone = 0x02;
}

bool properties_say_phone(GVariant* props)
{
    if (!props || !g_variant_is_of_type(props, G_VARIANT_TYPE("a{sv}")))
        return false;
    GVariant* uuids = g_variant_lookup_value(props, "UUIDs", G_VARIANT_TYPE("as"));
    if (uuids) {
        gsize n = g_variant_n_children(uuids);
        bool gateway = false;
        for (gsize i = 0; i < n && !gateway; ++i) {
            const gchar* uuid = nullptr;
            g_variant_get_child(uuids, i, "&s", &uuid);
            gateway = g_ascii_strcasecmp(uuid, bluez::kHfpAgUuid) == 0;
        }
        g_variant_unref(uuids);
        if (n > 0)
            return gateway;
    }
    guint32 device_class = 0;
    if (!g_variant_lookup(props, "Class", "u", &device_class))
        return false;
    return ((device_class >> 8) & 0x1F) == kMajorClassPhone;
}

bool on_adapter(const char* object_path, const char* adapter)
{
    if (!object_path || !adapter)
        return false;
    size_t n = std::strlen(adapter);
    return n > 0 && std::strncmp(object_path, adapter, n) == 0 && object_path[n] == '/' && object_path[n + 1] != '\0';
}

bool device_is_phone(const char* object_path)
{
    if (!dbus_conn || !on_adapter(object_path, adapter_path))
        return false;
    GError* error = nullptr;
    GVariant* reply = bluez::get_device_properties(dbus_conn, object_path, &error);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    GVariant* props = g_variant_get_child_value(reply, 0);
    bool phone = properties_say_phone(props);
    g_variant_unref(props);
    g_variant_unref(reply);
    return phone;
}
