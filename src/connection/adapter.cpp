#include "connection/adapter.h"

#include "app/app.h"
#include "app/log.h"
#include "app/main_thread.h"
#include "app/text.h"
#include "connection/agent.h"
#include "connection/bluez.h"
#include "connection/device.h"
#include "connection/state.h"

#include <string>

char adapter_path[256] = "/org/bluez/hci0";
std::atomic<bool> discoverable_session{false};

namespace {

constexpr guint kDiscoverableSeconds = 180;
guint discoverable_timer = 0;

void stop_discoverable_timer()
{
    if (discoverable_timer) {
        g_source_remove(discoverable_timer);
        discoverable_timer = 0;
    }
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
    copy_text(error_msg, text.c_str());
    set_state(ERROR);
    update_ui();
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
    if (end_discoverable_session())
        agent_unregister();
    int state = current_state.load();
    if (state == DISCOVERABLE || state == PAIRING)
        start_failed("No Bluetooth adapter: plug one in or switch it on, then press Start", nullptr);
}

void discoverability_ended(const char* why)
{
    ASSERT_MAIN_THREAD();
    if (!end_discoverable_session())
        return;
    log_msgf("ℹ️ Discoverability ended %s: press Start to pair a phone", why);
    make_discoverable(false);
    agent_unregister();
    int state = current_state.load();
    if (state == DISCOVERABLE || state == PAIRING)
        set_state(resting_state());
    update_ui();
}

bool set_adapter_property(const char* name, GVariant* value)
{
    if (!dbus_conn) {
        g_variant_unref(g_variant_ref_sink(value));
        return false;
    }
    GError* error = nullptr;
    if (!bluez::set_adapter_property(dbus_conn, adapter_path, name, value, &error)) {
        g_dbus_error_strip_remote_error(error);
        g_snprintf(error_msg, sizeof error_msg, "Adapter setting error (%s): %s", name, error->message);
        log_msg(error_msg);
        g_error_free(error);
        return false;
    }
    return true;
}

bool make_discoverable(bool on)
{
    bool ok = set_adapter_property("Powered", g_variant_new_boolean(TRUE));
    ok = set_adapter_property("Discoverable", g_variant_new_boolean(on)) && ok;
    ok = set_adapter_property("Pairable", g_variant_new_boolean(on)) && ok;
    if (on) {
        // BlueZ ends discoverability by itself too, should we not be there to.
        ok = set_adapter_property("DiscoverableTimeout", g_variant_new_uint32(kDiscoverableSeconds)) && ok;
        ok = set_adapter_property("PairableTimeout", g_variant_new_uint32(kDiscoverableSeconds)) && ok;
    }
    if (on && !ok)
        return false;
    log_msg(on ? "✓ PC made discoverable" : "✓ Discoverability disabled");
    return ok;
}
