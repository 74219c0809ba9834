#include "connection/signals.h"

#include "base/changes.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/adapter.h"
#include "connection/device.h"
#include "connection/phone_device.h"
#include "connection/profile.h"
#include "connection/reconnect.h"
#include "audio/sound_module.h"
#include "connection/state.h"

#include <cstring>

namespace {

void phone_paired(const char* object_path)
{
    get_device_info(object_path);
    log_msg("✓ Pairing completed");
    if (current_state.load() == CONNECTED)
        return;
    set_state(PAIRED);
    state_changed_later(Change::Header);
    if (auto_connect_in_progress.load() == 0 && device_path[0] != '\0') {
        auto_connect_in_progress = 1;
        set_state(CONNECTING);
        update_ui();
        start_auto_connect();
    }
}

void phone_unpaired()
{
    log_msg("🔓 Pairing removed");
    cleanup_connection("📴 Device disconnected", true);
    set_state(resting_state());
    state_changed_later(Change::Header);
}

void phone_connected(const char* object_path)
{
    get_device_info(object_path);
    log_msg("📱 Device connected");
    // The sound server grabs a connected phone's audio for itself; the
    // hands-free audio is ours. Other devices' modules stay loaded.
    release_phone_from_sound_server_async(device_path);
    auto_connect_in_progress = 0;
    set_state(CONNECTED);
    state_changed_later(Change::Header);
}

void phone_disconnected()
{
    int state = current_state.load();
    if (state != CONNECTING && state != CONNECTED)
        return;
    cleanup_connection("📴 Connection lost", false);
    set_state(device_paired.load() ? PAIRED : resting_state());
    state_changed_later(Change::Header);
}

}  // namespace

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
        (!has_paired && !has_connected && (!seen || std::strcmp(object_path, device_path) != 0))) {
        g_variant_unref(changed);
        return;
    }
    // Decided once, before any effect: an unpairing below empties device_path.
    // With no phone recorded, only a phone may become it.
    bool is_phone = device_path[0] == '\0' ? device_is_phone(object_path) : std::strcmp(object_path, device_path) == 0;
    if (!is_phone) {
        g_variant_unref(changed);
        return;
    }

    if (has_paired) {
        device_paired = paired ? 1 : 0;
        if (paired)
            phone_paired(object_path);
        else
            phone_unpaired();
    }
    if (has_connected) {
        if (connected)
            phone_connected(object_path);
        else
            phone_disconnected();
    }
    if (seen && !has_connected && current_state.load() == PAIRED && !reconnect_held())
        reconnect_now();
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
    if (device_path[0] == '\0' || std::strcmp(path, device_path) != 0) {
        g_variant_unref(interfaces);
        return;
    }
    GVariantIter iter;
    g_variant_iter_init(&iter, interfaces);
    const gchar* name = nullptr;
    while (g_variant_iter_next(&iter, "&s", &name)) {
        if (std::strcmp(name, "org.bluez.Device1") == 0) {
            cleanup_connection("🗑️ Device removed", true);
            set_state(resting_state());
            state_changed_later(Change::Header);
            break;
        }
    }
    g_variant_unref(interfaces);
}
