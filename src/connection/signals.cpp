#include "connection/signals.h"

#include "base/events.h"
#include "base/main_thread.h"
#include "base/phone.h"
#include "connection/adapter.h"
#include "connection/phone_device.h"
#include "connection/profile.h"

#include <cstring>

void on_properties_changed(GDBusConnection*, const gchar*, const gchar* object_path, const gchar*, const gchar*,
                           GVariant* parameters, gpointer)
{
    ASSERT_MAIN_THREAD();
    // Signals are not type-checked by the bus: anything malformed is dropped.
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")))
        return;
    const gchar* changed_interface = nullptr;
    GVariant* changed = nullptr;
    g_variant_get(parameters, "(&s@a{sv}@as)", &changed_interface, &changed, nullptr);
    gboolean discoverable = TRUE;
    bool our_adapter =
        std::strcmp(changed_interface, "org.bluez.Adapter1") == 0 && std::strcmp(object_path, adapter_path) == 0;
    if (our_adapter) {
        if (GVariant* uuids = g_variant_lookup_value(changed, "UUIDs", G_VARIANT_TYPE("as"))) {
            profile_adapter_uuids_changed(uuids);
            g_variant_unref(uuids);
        }
    }
    if (our_adapter && g_variant_lookup(changed, "Discoverable", "b", &discoverable) && !discoverable) {
        // BlueZ's own time limit, or someone else switched it off.
        g_variant_unref(changed);
        discoverability_ended_by_service();
        return;
    }
    gboolean paired = FALSE, connected = FALSE;
    bool has_paired = g_variant_lookup(changed, "Paired", "b", &paired);
    bool has_connected = g_variant_lookup(changed, "Connected", "b", &connected);
    gint16 rssi = 0;
    // BlueZ saw the phone (an inquiry or scan answered): it is in range.
    bool seen = g_variant_lookup(changed, "RSSI", "n", &rssi);
    if (std::strcmp(changed_interface, "org.bluez.Device1") != 0 || !on_adapter(object_path, adapter_path) ||
        (!has_paired && !has_connected && (!seen || std::strcmp(object_path, phone_path()) != 0))) {
        g_variant_unref(changed);
        return;
    }
    // Decided once, before any effect: an unpairing below empties device_path.
    // With no phone recorded, only a phone may become it.
    bool is_phone =
        phone_path()[0] == '\0' ? device_is_phone(object_path) : std::strcmp(object_path, phone_path()) == 0;
    if (!is_phone) {
        g_variant_unref(changed);
        return;
    }

    if (has_paired)
        deliver_event(PhonePairedChanged{object_path, bool(paired)});
    if (has_connected)
        deliver_event(PhoneConnectedChanged{object_path, bool(connected)});
    if (seen && !has_connected)
        deliver_event(PhoneInRange{});
    g_variant_unref(changed);
}

void on_interfaces_removed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, gpointer)
{
    ASSERT_MAIN_THREAD();
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oas)")))
        return;
    const gchar* path = nullptr;
    GVariant* interfaces = nullptr;
    g_variant_get(parameters, "(&o@as)", &path, &interfaces);
    if (std::strcmp(path, adapter_path) == 0) {
        GVariantIter names;
        g_variant_iter_init(&names, interfaces);
        const gchar* name = nullptr;
        while (g_variant_iter_next(&names, "&s", &name))
            if (std::strcmp(name, "org.bluez.Adapter1") == 0)
                adapter_removed();
        g_variant_unref(interfaces);
        return;
    }
    if (phone_path()[0] == '\0' || std::strcmp(path, phone_path()) != 0) {
        g_variant_unref(interfaces);
        return;
    }
    GVariantIter iter;
    g_variant_iter_init(&iter, interfaces);
    const gchar* name = nullptr;
    while (g_variant_iter_next(&iter, "&s", &name)) {
        if (std::strcmp(name, "org.bluez.Device1") == 0) {
            deliver_event(PhoneRemoved{});
            break;
        }
    }
    g_variant_unref(interfaces);
}
