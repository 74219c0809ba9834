#include "connection/device.h"

#include "connection/system_bus.h"
#include "base/events.h"
#include "base/log.h"
#include "core/text.h"
#include "base/main_thread.h"
#include "base/workers.h"
#include "audio/sco.h"
#include "audio/sco_listen.h"
#include "connection/adapter.h"
#include "connection/bluez.h"
#include "connection/state.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

std::atomic<int> auto_connect_in_progress{0};

void get_device_info(const char* path)
{
    if (!dbus_conn || !path)
        return;
    GError* error = nullptr;
    GVariant* reply = bluez::get_device_properties(dbus_conn, path, &error);
    if (!reply) {
        g_clear_error(&error);
        return;
    }
    GVariant* props = g_variant_get_child_value(reply, 0);
    const gchar* text = nullptr;
    gboolean paired = FALSE;
    if (g_variant_lookup(props, "Address", "&s", &text))
        copy_text(device_addr, text);
    if (g_variant_lookup(props, "Name", "&s", &text))
        copy_text(device_name, text);
    if (g_variant_lookup(props, "Paired", "b", &paired))
        device_paired = paired ? 1 : 0;
    if (path != device_path)
        copy_text(device_path, path);
    g_variant_unref(props);
    g_variant_unref(reply);
}

// The path is handed over as a heap copy: the main loop may rewrite
// device_path while Connect is pending.
gpointer connect_thread(gpointer path_copy)
{
    auto* path = static_cast<char*>(path_copy);
    bool succeeded = false;
    if (path && path[0] != '\0' && dbus_conn) {
        GError* error = nullptr;
        succeeded = bluez::connect_device(dbus_conn, path, &error);
        g_clear_error(&error);
    }
    g_free(path);
    post_event(AutoConnectDone{succeeded});
    return nullptr;
}

bool start_auto_connect()
{
    GError* error = nullptr;
    if (!start_worker("auto_connect", connect_thread, g_strdup(device_path), &error)) {
        log_msgf("⚠️ Cannot start auto connection: %s", error->message);
        g_error_free(error);
        post_event(AutoConnectDone{false});
        return false;
    }
    return true;
}

void apply_auto_connect_done(const AutoConnectDone& event)
{
    ASSERT_MAIN_THREAD();
    auto_connect_in_progress = 0;
    if (event.succeeded) {
        set_state(CONNECTED);
        log_msg("✅ Auto connection established");
    } else if (current_state.load() == CONNECTED) {
        // The phone came in by itself while Connect was pending; its late
        // failure must not tear down a live connection.
        log_msg("ℹ️ Auto connection failed, phone already connected");
    } else if (device_path[0] == '\0') {
        // The phone was given up meanwhile (BlueZ stopped): nothing to fall back to.
        log_msg("ℹ️ Auto connection ended, phone given up");
    } else {
        set_state(PAIRED);
        log_msg("⚠️ Auto connection failed, phone can connect");
    }
    update_ui();
}

