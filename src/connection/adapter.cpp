#include "connection/adapter.h"

#include "connection/system_bus.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/agent.h"
#include "connection/bluez.h"
#include "base/events.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>

char adapter_path[256] = "/org/bluez/hci0";
std::atomic<bool> discoverable_session{false};

namespace {

constexpr guint kDiscoverableSeconds = 180;
guint discoverable_timer = 0;   // main loop only: our 3-minute limit while armed

// The adapter's settings before Start, given back when discoverability
// ends: the user's Bluetooth stays as the user set it. Main loop only.
struct AdapterBefore {
    bool known = false;
    gboolean discoverable = FALSE, pairable = FALSE;
    guint32 discoverable_timeout = 0, pairable_timeout = 0;
};
AdapterBefore before_start;
// Set when Start had to switch the adapter on; main loop only.
bool powered_by_us = false;
// Why the last setting was refused; main loop only.
std::string last_setting_error;

// Reads the adapter once per session; whether it was switched on.
bool remember_adapter()
{
    GError* error = nullptr;
    GVariant* reply = bluez::get_adapter_properties(dbus_conn, adapter_path, &error);
    if (!reply) {
        g_clear_error(&error);
        return true;   // setting Powered will tell what is wrong
    }
    GVariant* props = g_variant_get_child_value(reply, 0);
    gboolean powered = TRUE;
    g_variant_lookup(props, "Powered", "b", &powered);
    if (!before_start.known) {
        before_start = AdapterBefore{};
        g_variant_lookup(props, "Discoverable", "b", &before_start.discoverable);
        g_variant_lookup(props, "Pairable", "b", &before_start.pairable);
        g_variant_lookup(props, "DiscoverableTimeout", "u", &before_start.discoverable_timeout);
        g_variant_lookup(props, "PairableTimeout", "u", &before_start.pairable_timeout);
        before_start.known = true;
    }
    g_variant_unref(props);
    g_variant_unref(reply);
    return powered;
}

void stop_discoverable_timer()
{
    if (discoverable_timer) {
        g_source_remove(discoverable_timer);
        discoverable_timer = 0;
    }
}

// Logs and keeps why a setting was refused; frees error.
void note_refused_setting(const char* name, GError* error)
{
    g_dbus_error_strip_remote_error(error);
    last_setting_error = std::string("Adapter setting error (") + name + "): " + error->message;
    log_msg(last_setting_error.c_str());
    g_error_free(error);
}

gboolean discoverable_timeout_cb(gpointer)
{
    discoverable_timer = 0;
    discoverability_ended("after 3 minutes");
    return G_SOURCE_REMOVE;
}

}  // namespace

void start_failed(const char* what_to_do, const char* detail)
{
    std::string text = what_to_do;
    if (detail && *detail)
        text = text + " (" + detail + ")";
    deliver_event(ConnectionFailed{text});
}

bool adapter_present()
{
    GError* error = nullptr;
    GVariant* props = bluez::get_adapter_properties(dbus_conn, adapter_path, &error);
    if (props) {
        g_variant_unref(props);
        return true;
    }
    bool no_daemon = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                     g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER);
    g_dbus_error_strip_remote_error(error);
    start_failed(no_daemon ? "No Bluetooth adapter: the Bluetooth service is not running; start it, then press Start"
                           : "No Bluetooth adapter: plug one in or switch it on, then press Start",
                 error->message);
    g_error_free(error);
    return false;
}

void begin_discoverable_session()
{
    discoverable_session = true;
    stop_discoverable_timer();
    discoverable_timer = g_timeout_add_seconds(kDiscoverableSeconds, discoverable_timeout_cb, nullptr);
}

bool end_discoverable_session()
{
    bool was_discoverable = discoverable_session.exchange(false);
    stop_discoverable_timer();
    return was_discoverable;
}

void adapter_removed()
{
    ASSERT_MAIN_THREAD();
    log_msg("⚠️ Bluetooth adapter removed");
    // A new adapter, or the same one back, starts as its user left it.
    forget_adapter_settings();
    if (end_discoverable_session())
        agent_unregister();
    deliver_event(AdapterRemoved{});
}

void discoverability_ended(const char* why)
{
    ASSERT_MAIN_THREAD();
    if (!end_discoverable_session())
        return;
    make_discoverable(false);
    agent_unregister();
    deliver_event(DiscoverabilityEnded{why});
}

void discoverability_ended_by_service()
{
    if (!discoverable_session.load())
        return;
    // The signal may be the late echo of our own Stop, come after a new Start.
    GError* error = nullptr;
    gboolean discoverable_now = FALSE;
    if (GVariant* reply = bluez::get_adapter_properties(dbus_conn, adapter_path, &error)) {
        GVariant* props = g_variant_get_child_value(reply, 0);
        g_variant_lookup(props, "Discoverable", "b", &discoverable_now);
        g_variant_unref(props);
        g_variant_unref(reply);
    }
    g_clear_error(&error);
    if (!discoverable_now)
        discoverability_ended("by the Bluetooth service");
}

bool set_adapter_property(const char* name, GVariant* value)
{
    if (!dbus_conn) {
        g_variant_unref(g_variant_ref_sink(value));
        return false;
    }
    GError* error = nullptr;
    if (!bluez::set_adapter_property(dbus_conn, adapter_path, name, value, &error)) {
        note_refused_setting(name, error);
        return false;
    }
    return true;
}

const std::string& adapter_setting_error() { return last_setting_error; }

void forget_adapter_settings()
{
    before_start.known = false;
    powered_by_us = false;
}

void power_adapter_on(std::function<void(bool ok)> done)
{
    if (!dbus_conn) {
        done(false);
        return;
    }
    if (remember_adapter()) {
        done(true);
        return;
    }
    log_msg("🔌 Switching Bluetooth on…");
    // Counted as ours from the asking: an exit before the answer switches it
    // off again, after it on the same connection.
    struct PowerOn {
        std::function<void(bool)> done;
        bool was_ours;
    };
    auto* pending = new PowerOn{std::move(done), std::exchange(powered_by_us, true)};
    g_dbus_connection_call(
        dbus_conn, bluez::kService, adapter_path, "org.freedesktop.DBus.Properties", "Set",
        g_variant_new("(ssv)", "org.bluez.Adapter1", "Powered", g_variant_new_boolean(TRUE)), nullptr,
        G_DBUS_CALL_FLAGS_NONE, bluez::kPowerTimeoutMs, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<PowerOn> power_on(static_cast<PowerOn*>(data));
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            if (reply) {
                g_variant_unref(reply);
            } else {
                note_refused_setting("Powered", error);
                powered_by_us = power_on->was_ours;
            }
            power_on->done(reply != nullptr);
        },
        pending);
}

bool make_discoverable(bool on)
{
    if (!on)
        return restore_discoverability();
    bool ok = set_adapter_property("Discoverable", g_variant_new_boolean(TRUE));
    ok = ok && set_adapter_property("Pairable", g_variant_new_boolean(TRUE));
    // BlueZ ends discoverability by itself too, should we not be there to.
    ok = ok && set_adapter_property("DiscoverableTimeout", g_variant_new_uint32(kDiscoverableSeconds));
    ok = ok && set_adapter_property("PairableTimeout", g_variant_new_uint32(kDiscoverableSeconds));
    if (ok)
        log_msg("✓ PC made discoverable");
    return ok;
}

bool restore_discoverability()
{
    if (!before_start.known)
        return true;
    AdapterBefore was = before_start;
    before_start.known = false;
    // Timeouts first: setting them while discoverable restarts BlueZ's clock.
    bool ok = set_adapter_property("DiscoverableTimeout", g_variant_new_uint32(was.discoverable_timeout));
    ok = set_adapter_property("PairableTimeout", g_variant_new_uint32(was.pairable_timeout)) && ok;
    ok = set_adapter_property("Discoverable", g_variant_new_boolean(was.discoverable)) && ok;
    ok = set_adapter_property("Pairable", g_variant_new_boolean(was.pairable)) && ok;
    if (ok)
        log_msg(was.discoverable ? "✓ PC left discoverable, as it was before Start" : "✓ Discoverability disabled");
    return ok;
}

void release_adapter_power()
{
    if (!powered_by_us)
        return;
    powered_by_us = false;
    if (set_adapter_property("Powered", g_variant_new_boolean(FALSE)))
        log_msg("✓ Bluetooth switched off again, as it was before Start");
}

void leave_adapter_as_found()
{
    if (!dbus_conn)
        return;
    end_discoverable_session();
    restore_discoverability();
    release_adapter_power();
}
