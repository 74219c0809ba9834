#include "connection/buttons.h"

#include "app/app.h"
#include "app/log.h"
#include "app/main_thread.h"
#include "connection/adapter.h"
#include "connection/agent.h"
#include "connection/bluez.h"
#include "connection/device.h"
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

void on_disconnect_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    if (device_path[0] != '\0' && dbus_conn) {
        GError* error = nullptr;
        if (bluez::disconnect_device(dbus_conn, device_path, &error)) {
            log_msg("🔌 Disconnected");
        } else {
            g_dbus_error_strip_remote_error(error);
            log_msgf("⚠️ Disconnect failed: %s", error->message);
            g_error_free(error);
        }
    }
    cleanup_connection(nullptr, false);
    set_state(resting_state());
    update_ui();
}
