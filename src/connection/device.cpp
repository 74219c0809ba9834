#include "connection/device.h"

#include "base/events.h"
#include "base/log.h"
#include "base/workers.h"
#include "connection/bluez.h"
#include "connection/system_bus.h"

PhoneIdentity read_phone(const char* path)
{
    PhoneIdentity phone;
    if (!dbus_conn || !path)
        return phone;
    GError* error = nullptr;
    GVariant* reply = bluez::get_device_properties(dbus_conn, path, &error);
    if (!reply) {
        g_clear_error(&error);
        return phone;
    }
    phone.read = true;
    GVariant* props = g_variant_get_child_value(reply, 0);
    const gchar* text = nullptr;
    gboolean paired = FALSE;
    if (g_variant_lookup(props, "Address", "&s", &text))
        phone.addr = text;
    if (g_variant_lookup(props, "Name", "&s", &text))
        phone.name = text;
    if (g_variant_lookup(props, "Paired", "b", &paired))
        phone.paired = paired;
    g_variant_unref(props);
    g_variant_unref(reply);
    return phone;
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

bool start_auto_connect(const char* path)
{
    GError* error = nullptr;
    if (!start_worker("auto_connect", connect_thread, g_strdup(path), &error)) {
        log_msgf("⚠️ Cannot start auto connection: %s", error->message);
        g_error_free(error);
        post_event(AutoConnectDone{false});
        return false;
    }
    return true;
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

void disconnect_phone(const char* path)
{
    if (path[0] != '\0' && dbus_conn)
        g_dbus_connection_call(dbus_conn, bluez::kService, path, "org.bluez.Device1", "Disconnect", nullptr, nullptr,
                               G_DBUS_CALL_FLAGS_NONE, bluez::kDisconnectTimeoutMs, nullptr, on_disconnected, nullptr);
}
