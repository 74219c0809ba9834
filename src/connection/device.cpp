#include "connection/device.h"

#include "app/app.h"
#include "app/log.h"
#include "app/text.h"
#include "connection/bluez.h"

char adapter_path[256] = "/org/bluez/hci0";
char device_path[256] = "";
char device_addr[18] = "";
char device_name[248] = "";
std::atomic<int> device_paired{0};
std::atomic<uint8_t> hfp_channel{0};
std::atomic<int> auto_connect_in_progress{0};

void set_adapter_property(const char* name, GVariant* value)
{
    if (!dbus_conn) {
        g_variant_unref(g_variant_ref_sink(value));
        return;
    }
    GError* error = nullptr;
    if (!bluez::set_adapter_property(dbus_conn, adapter_path, name, value, &error)) {
        g_snprintf(error_msg, sizeof error_msg, "Adapter setting error (%s): %s", name, error->message);
        log_msg(error_msg);
        g_error_free(error);
    }
}

void make_discoverable(bool on)
{
    set_adapter_property("Powered", g_variant_new_boolean(TRUE));
    set_adapter_property("Discoverable", g_variant_new_boolean(on));
    set_adapter_property("Pairable", g_variant_new_boolean(on));
    if (on) {
        set_adapter_property("DiscoverableTimeout", g_variant_new_uint32(0));
        set_adapter_property("PairableTimeout", g_variant_new_uint32(0));
    }
    log_msg(on ? "✓ PC made discoverable" : "✓ Discoverability disabled");
}

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
    copy_text(device_path, path);
    g_variant_unref(props);
    g_variant_unref(reply);
}

gpointer connect_thread(gpointer) { return nullptr; }
gboolean connect_complete_cb(gpointer) { return G_SOURCE_REMOVE; }
void cleanup_connection(const char* message, bool)
{
    if (message)
        log_msg(message);
}
void on_start_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Start is not available yet"); }
void on_stop_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Stop is not available yet"); }
void on_disconnect_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Disconnect is not available yet"); }
