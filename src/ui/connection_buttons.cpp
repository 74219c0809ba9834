#include "ui/connection_buttons.h"

#include "connection/system_bus.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/adapter.h"
#include "connection/agent.h"
#include "connection/bluez.h"
#include "connection/device.h"
#include "connection/reconnect.h"
#include "connection/state.h"

#include <string>

void on_start_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    log_msg("🚀 Starting…");
    if (!open_system_bus()) {
        start_failed(error_msg, nullptr);
        return;
    }
    if (!adapter_present())
        return;
    if (!agent_setup()) {
        set_state(ERROR);
        update_ui();
        return;
    }
    log_msg("✓ Agent registered");
    if (!make_discoverable(true)) {
        std::string detail = error_msg;
        restore_discoverability();
        release_adapter_power();
        agent_unregister();
        start_failed("Bluetooth is switched off or blocked: switch it on (or unblock it), then press Start",
                     detail.c_str());
        return;
    }
    begin_discoverable_session();
    set_state(DISCOVERABLE);
    update_ui();
}

void on_stop_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    end_discoverable_session();
    make_discoverable(false);
    release_adapter_power();
    agent_unregister();
    set_state(IDLE);
    update_ui();
}

namespace {

void on_disconnected(GObject* source, GAsyncResult* result, gpointer)
{
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        g_variant_unref(reply);
        log_msg("🔌 Disconnected");
        return;
    }
    g_dbus_error_strip_remote_error(error);
    log_msgf("⚠️ Disconnect failed: %s", error->message);
    g_error_free(error);
}

}  // namespace

void on_disconnect_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    // The user wants the phone off: no reconnecting until Connect, or until
    // the phone connects by itself.
    reconnect_hold();
    if (device_path[0] != '\0' && dbus_conn)
        g_dbus_connection_call(dbus_conn, bluez::kService, device_path, "org.bluez.Device1", "Disconnect", nullptr,
                               nullptr, G_DBUS_CALL_FLAGS_NONE, bluez::kDisconnectTimeoutMs, nullptr, on_disconnected,
                               nullptr);
    cleanup_connection(nullptr, false);
    set_state(resting_state());
    update_ui();
}

void on_connect_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    reconnect_now();
}
