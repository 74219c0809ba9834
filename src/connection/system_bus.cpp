#include "connection/system_bus.h"

#include "audio/sco_listen.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "base/changes.h"
#include "base/events.h"
#include "connection/adapter.h"
#include "connection/bluez.h"
#include "connection/phone_device.h"
#include "connection/profile.h"
#include "connection/signals.h"

GDBusConnection* dbus_conn = nullptr;

namespace {

// The phone's own voice links come to the adapter's address.
void listen_for_voice_links()
{
    GVariant* reply = bluez::get_adapter_properties(dbus_conn, adapter_path, nullptr);
    if (!reply)
        return;
    GVariant* props = g_variant_get_child_value(reply, 0);
    const gchar* address = nullptr;
    if (g_variant_lookup(props, "Address", "&s", &address))
        sco_listen_start(address);
    g_variant_unref(props);
    g_variant_unref(reply);
}

void run_startup_scan()
{
    GError* error = nullptr;
    GVariant* reply = bluez::get_managed_objects(dbus_conn, &error);
    if (!reply) {
        g_clear_error(&error);
        return;
    }
    StartupScan found = scan_managed_objects(reply, adapter_path);
    g_variant_unref(reply);
    if (!found.connected_path.empty())
        deliver_event(PhoneFound{found.connected_path, true});
    else if (!found.paired_path.empty())
        deliver_event(PhoneFound{found.paired_path, false});
}

// Whether BlueZ held its name when last seen: unknown until the first report,
// which only confirms what the startup scan saw. Main loop only (the name watch).
enum class BluezOnBus { Unknown, Present, Absent };
BluezOnBus bluez_on_bus = BluezOnBus::Unknown;

// BlueZ stopped: its adapter, the phone and the link went with it.
void on_bluez_vanished(GDBusConnection*, const gchar*, gpointer)
{
    ASSERT_MAIN_THREAD();
    bool was_present = bluez_on_bus == BluezOnBus::Present;
    bluez_on_bus = BluezOnBus::Absent;
    if (!was_present)
        return;
    log_msg("⚠️ Bluetooth service stopped");
    profile_bluez_vanished();
    adapter_removed();
    deliver_event(BluetoothServiceStopped{});
}

// BlueZ is back (or came up after us): its objects are read as at startup.
void on_bluez_appeared(GDBusConnection*, const gchar*, const gchar*, gpointer)
{
    ASSERT_MAIN_THREAD();
    bool was_absent = bluez_on_bus == BluezOnBus::Absent;
    bluez_on_bus = BluezOnBus::Present;
    if (!was_absent)
        return;
    log_msg("✓ Bluetooth service running");
    profile_start();
    listen_for_voice_links();
    run_startup_scan();
    state_changed(Change::Header);
}

}  // namespace

void bluez_start()
{
    profile_start();
    listen_for_voice_links();
    run_startup_scan();
}

bool open_system_bus(std::string* why)
{
    ASSERT_MAIN_THREAD();
    if (dbus_conn)
        return true;
    GError* error = nullptr;
    dbus_conn = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!dbus_conn) {
        *why = std::string("D-Bus error: ") + (error ? error->message : "unknown");
        g_clear_error(&error);
        return false;
    }
    log_msg("✓ D-Bus connection established");
    bluez::subscribe_properties_changed(dbus_conn, on_properties_changed);
    bluez::subscribe_interfaces_removed(dbus_conn, on_interfaces_removed);
    g_bus_watch_name_on_connection(dbus_conn, bluez::kService, G_BUS_NAME_WATCHER_FLAGS_NONE, on_bluez_appeared,
                                   on_bluez_vanished, nullptr, nullptr);
    log_msg("✓ D-Bus signal listener set up");
    return true;
}

StartupScan scan_managed_objects(GVariant* reply, const char* adapter)
{
    StartupScan found;
    GVariant* objects = g_variant_get_child_value(reply, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, objects);
    const gchar* path = nullptr;
    GVariant* interfaces = nullptr;
    while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
        GVariant* device = g_variant_lookup_value(interfaces, "org.bluez.Device1", G_VARIANT_TYPE("a{sv}"));
        if (device && !(on_adapter(path, adapter) && properties_say_phone(device))) {
            g_variant_unref(device);
            device = nullptr;
        }
        if (device) {
            gboolean connected = FALSE, paired = FALSE;
            bool has_connected = g_variant_lookup(device, "Connected", "b", &connected);
            bool has_paired = g_variant_lookup(device, "Paired", "b", &paired);
            g_variant_unref(device);
            if (has_connected && connected) {
                found.connected_path = path;
                g_variant_unref(interfaces);
                break;
            }
            if (has_paired && paired && found.paired_path.empty())
                found.paired_path = std::string(path).substr(0, 255);
        }
        g_variant_unref(interfaces);
    }
    g_variant_unref(objects);
    return found;
}
