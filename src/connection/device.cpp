#include "connection/device.h"

#include "app/app.h"
#include "app/log.h"
#include "app/text.h"
#include "app/main_thread.h"
#include "audio/sco.h"
#include "connection/agent.h"
#include "connection/bluez.h"
#include "connection/state.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

char adapter_path[256] = "/org/bluez/hci0";
char device_path[256] = "";
char device_addr[18] = "";
char device_name[248] = "";
std::atomic<int> device_paired{0};
std::atomic<uint8_t> hfp_channel{0};
std::atomic<int> auto_connect_in_progress{0};
std::atomic<bool> discoverable_session{false};

namespace {

thread_local bool worker_has_phone = false;
thread_local PhoneRef worker_phone;

}  // namespace

PhoneRef this_phone()
{
    return {phone_addr(), phone_path()};
}

void adopt_phone(const PhoneRef& phone)
{
    worker_phone = phone;
    worker_has_phone = true;
}

const char* phone_addr()
{
    return worker_has_phone ? worker_phone.addr.c_str() : device_addr;
}

const char* phone_path()
{
    return worker_has_phone ? worker_phone.path.c_str() : device_path;
}

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

// Start fails with a text that tells the user what to do about it.
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

}  // namespace

void adapter_removed()
{
    ASSERT_MAIN_THREAD();
    log_msg("⚠️ Bluetooth adapter removed");
    bool was_discoverable = discoverable_session.exchange(false);
    stop_discoverable_timer();
    if (was_discoverable)
        agent_unregister();
    int state = current_state.load();
    if (state == DISCOVERABLE || state == PAIRING)
        start_failed("No Bluetooth adapter: plug one in or switch it on, then press Start", nullptr);
}

AppState resting_state()
{
    if (discoverable_session.load())
        return DISCOVERABLE;
    if (device_path[0] != '\0' && device_paired.load())
        return PAIRED;
    return IDLE;
}

void discoverability_ended(const char* why)
{
    ASSERT_MAIN_THREAD();
    if (!discoverable_session.exchange(false))
        return;
    stop_discoverable_timer();
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
    g_idle_add(connect_complete_cb, GINT_TO_POINTER(succeeded ? 1 : 0));
    return nullptr;
}

bool start_auto_connect()
{
    GError* error = nullptr;
    GThread* thread = g_thread_try_new("auto_connect", connect_thread, g_strdup(device_path), &error);
    if (!thread) {
        log_msgf("⚠️ Cannot start auto connection: %s", error->message);
        g_error_free(error);
        g_idle_add(connect_complete_cb, GINT_TO_POINTER(0));
        return false;
    }
    g_thread_unref(thread);
    return true;
}

gboolean connect_complete_cb(gpointer succeeded)
{
    ASSERT_MAIN_THREAD();
    auto_connect_in_progress = 0;
    if (GPOINTER_TO_INT(succeeded)) {
        set_state(CONNECTED);
        log_msg("✅ Auto connection established");
    } else if (current_state.load() == CONNECTED) {
        // The phone came in by itself while Connect was pending; its late
        // failure must not tear down a live connection.
        log_msg("ℹ️ Auto connection failed, phone already connected");
    } else {
        set_state(PAIRED);
        log_msg("⚠️ Auto connection failed, phone can connect");
    }
    update_ui();
    return G_SOURCE_REMOVE;
}

void cleanup_connection(const char* message, bool forget_phone)
{
    ASSERT_MAIN_THREAD();
    if (message)
        log_msg(message);
    incoming_call_running = 0;
    call_link_closed();
    int listen_fd = hfp_listen_socket.exchange(-1);
    if (listen_fd >= 0) {
        // Wakes the listener out of its blocking connect or read before the
        // join. The listener closes its descriptor itself: closed here, the
        // number could be reused while the listener still uses it.
        shutdown(listen_fd, SHUT_RDWR);
    }
    if (incoming_call_thread) {
        g_thread_join(incoming_call_thread);
        incoming_call_thread = nullptr;
    }
    hfp_close();
    stop_sco_audio(nullptr);
    std::memset(current_call_number, 0, sizeof current_call_number);
    std::memset(current_call_name, 0, sizeof current_call_name);
    set_call_state(CALL_IDLE);
    if (forget_phone) {
        device_path[0] = '\0';
        device_addr[0] = '\0';
        device_name[0] = '\0';
        device_paired = 0;
        hfp_channel = 0;
    }
}

void on_start_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    log_msg("🚀 Starting...");
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
        set_adapter_property("Discoverable", g_variant_new_boolean(FALSE));
        set_adapter_property("Pairable", g_variant_new_boolean(FALSE));
        agent_unregister();
        start_failed("Bluetooth is switched off or blocked: switch it on (or unblock it), then press Start",
                     detail.c_str());
        return;
    }
    discoverable_session = true;
    stop_discoverable_timer();
    discoverable_timer = g_timeout_add_seconds(kDiscoverableSeconds, discoverable_timeout_cb, nullptr);
    set_state(DISCOVERABLE);
    update_ui();
}

void on_stop_clicked(GtkButton*, gpointer)
{
    ASSERT_MAIN_THREAD();
    discoverable_session = false;
    stop_discoverable_timer();
    make_discoverable(false);
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
            log_msg(error->message);
            g_error_free(error);
        }
    }
    cleanup_connection(nullptr, false);
    set_state(resting_state());
    update_ui();
}
