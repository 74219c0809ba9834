#include "connection/profile.h"

#include "connection/system_bus.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/adapter.h"
#include "connection/bluez.h"
#include "connection/phone_device.h"
#include "base/changes.h"
#include "base/events.h"
#include "base/phone.h"
#include "hfp/listener.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <cstring>
#include <memory>

const char* const kRoleTakenNotice =
    "⚠️ Another program is the phone's hands-free unit (on Debian 12 PipeWire's WirePlumber by default).\n"
    "Leave hfp_hf and hsp_hs out of its bluez5.roles, in\n"
    "~/.config/wireplumber/bluetooth.lua.d/51-telvane.lua:\n"
    "bluez_monitor.properties[\"bluez5.roles\"] = \"[ a2dp_sink a2dp_source hsp_ag hfp_ag ]\"\n"
    "then: systemctl --user restart wireplumber. Telvane takes over once it lets go.";

namespace {

const char* const kProfileXml =
    "<node>"
    "  <interface name='org.bluez.Profile1'>"
    "    <method name='Release'/>"
    "    <method name='NewConnection'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='fd' type='h' direction='in'/>"
    "      <arg name='fd_properties' type='a{sv}' direction='in'/>"
    "    </method>"
    "    <method name='RequestDisconnection'>"
    "      <arg name='device' type='o' direction='in'/>"
    "    </method>"
    "  </interface>"
    "</node>";

// bluetoothd gives up paging an absent phone after about 5 s; a phone that
// answers but is slow to set up the link takes longer.
constexpr int kConnectProfileTimeoutMs = 30000;
constexpr int kRegisterTimeoutMs = 5000;
constexpr int kUnregisterTimeoutMs = 1000;

// Main loop only, all of them.
GDBusNodeInfo* profile_node = nullptr;
GDBusConnection* exported_on = nullptr;
bool registered = false;
bool registering = false;
bool role_taken = false;

// Our phone, or with none recorded yet, a device that is a phone.
bool is_our_phone(const char* path)
{
    if (phone_path()[0] != '\0')
        return std::strcmp(path, phone_path()) == 0;
    return on_adapter(path, adapter_path) && device_is_phone(path);
}

void new_connection(GDBusMethodInvocation* invocation, GVariant* parameters)
{
    const gchar* path = nullptr;
    gint32 index = -1;
    g_variant_get(parameters, "(&oh@a{sv})", &path, &index, nullptr);
    GUnixFDList* fds = g_dbus_message_get_unix_fd_list(g_dbus_method_invocation_get_message(invocation));
    int fd = fds ? g_unix_fd_list_get(fds, index, nullptr) : -1;
    if (fd < 0) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.bluez.Error.InvalidArguments", "No descriptor");
        return;
    }
    if (!is_our_phone(path)) {
        log_msgf("ℹ️ Hands-free link of another device refused: %s", path);
        close(fd);
        g_dbus_method_invocation_return_dbus_error(invocation, "org.bluez.Error.Rejected", "Not our phone");
        return;
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
    log_msg("🔗 Hands-free link handed over by BlueZ");
    deliver_event(HandsFreeLinkHandedOver{path, fd});
}

void profile_method_call(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer)
{
    ASSERT_MAIN_THREAD();
    // Anyone on the system bus can call our object; only BlueZ hands links over.
    if (!bluez::sent_by_bluez(connection, sender)) {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.bluez.Error.Rejected", "Not BlueZ");
        return;
    }
    if (std::strcmp(method, "NewConnection") == 0) {
        new_connection(invocation, parameters);
    } else if (std::strcmp(method, "RequestDisconnection") == 0) {
        // bluetoothd keeps its own copy of the socket: only a shutdown ends
        // the phone's link.
        log_msg("🔌 Hands-free link closed at BlueZ's request");
        hfp_release_link();
        g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {   // Release: BlueZ is going; it takes the registration with it
        registered = false;
        log_msg("ℹ️ Hands-free service released by BlueZ");
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }
}

const GDBusInterfaceVTable profile_vtable = {profile_method_call, nullptr, nullptr, {nullptr}};

bool export_profile()
{
    if (exported_on == dbus_conn)
        return true;
    GError* error = nullptr;
    if (!profile_node)
        profile_node = g_dbus_node_info_new_for_xml(kProfileXml, nullptr);
    if (g_dbus_connection_register_object(dbus_conn, kProfilePath, profile_node->interfaces[0], &profile_vtable,
                                          nullptr, nullptr, &error) == 0) {
        log_msgf("⚠️ Hands-free service not exported: %s", error->message);
        g_error_free(error);
        return false;
    }
    exported_on = G_DBUS_CONNECTION(g_object_ref(dbus_conn));
    return true;
}

std::string remote_name(GError* error)
{
    gchar* name = g_dbus_error_get_remote_error(error);
    std::string out = name ? name : "";
    g_free(name);
    return out;
}

void on_registered(GObject* source, GAsyncResult* result, gpointer)
{
    registering = false;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        g_variant_unref(reply);
        registered = true;
        bool was_taken = role_taken;
        role_taken = false;
        log_msg(was_taken ? "✓ Hands-free service registered: the other program let go"
                          : "✓ Hands-free service registered");
        deliver_event(HandsFreeServiceRegistered{});
        return;
    }
    std::string name = remote_name(error);
    g_dbus_error_strip_remote_error(error);
    if (name == "org.bluez.Error.AlreadyExists") {
        registered = true;
    } else if (name == "org.bluez.Error.NotPermitted") {
        if (!role_taken)
            log_msgf("⚠️ Another program holds the hands-free role: %s", error->message);
        role_taken = true;
        state_changed(Change::Header);
    } else {
        log_msgf("⚠️ Hands-free service not registered: %s", error->message);
    }
    g_error_free(error);
}

}  // namespace

void profile_start()
{
    ASSERT_MAIN_THREAD();
    if (!dbus_conn || registered || registering || !export_profile())
        return;
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "Name", g_variant_new_string("Telvane hands-free"));
    g_variant_builder_add(&options, "{sv}", "Version", g_variant_new_uint16(kProfileVersion));
    g_variant_builder_add(&options, "{sv}", "Features", g_variant_new_uint16(kProfileFeatures));
    g_variant_builder_add(&options, "{sv}", "RequireAuthentication", g_variant_new_boolean(TRUE));
    g_variant_builder_add(&options, "{sv}", "AutoConnect", g_variant_new_boolean(TRUE));
    registering = true;
    g_dbus_connection_call(dbus_conn, bluez::kService, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile",
                           g_variant_new("(osa{sv})", kProfilePath, bluez::kHfpHfUuid, &options), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, kRegisterTimeoutMs, nullptr, on_registered, nullptr);
}

void profile_stop()
{
    if (!dbus_conn || !registered)
        return;
    registered = false;
    GVariant* reply = g_dbus_connection_call_sync(dbus_conn, bluez::kService, "/org/bluez",
                                                  "org.bluez.ProfileManager1", "UnregisterProfile",
                                                  g_variant_new("(o)", kProfilePath), nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                  kUnregisterTimeoutMs, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
}

bool profile_registered() { return registered; }

void profile_bluez_vanished()
{
    registered = false;
    role_taken = false;
}

bool hands_free_role_taken() { return role_taken; }

void profile_adapter_uuids_changed(GVariant* uuids)
{
    ASSERT_MAIN_THREAD();
    if (!role_taken || !g_variant_is_of_type(uuids, G_VARIANT_TYPE("as")))
        return;
    GVariantIter iter;
    g_variant_iter_init(&iter, uuids);
    const gchar* uuid = nullptr;
    while (g_variant_iter_next(&iter, "&s", &uuid))
        if (g_ascii_strcasecmp(uuid, bluez::kHfpHfUuid) == 0)
            return;
    profile_start();
}

ProfileConnect classify_connect_error(const char* name)
{
    if (!name)
        return ProfileConnect::FAILED;
    if (std::strcmp(name, "org.bluez.Error.InProgress") == 0 ||
        std::strcmp(name, "org.bluez.Error.AlreadyConnected") == 0)
        return ProfileConnect::UNDER_WAY;
    if (std::strcmp(name, "org.bluez.Error.NotAvailable") == 0 ||
        std::strcmp(name, "org.bluez.Error.DoesNotExist") == 0)
        return ProfileConnect::NOT_AVAILABLE;
    return ProfileConnect::FAILED;
}

namespace {

using ConnectDone = std::function<void(ProfileConnect, const std::string&)>;

void on_connected(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<ConnectDone> done(static_cast<ConnectDone*>(data));
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply) {
        g_variant_unref(reply);
        (*done)(ProfileConnect::CONNECTED, "");
        return;
    }
    std::string name = remote_name(error);
    g_dbus_error_strip_remote_error(error);
    std::string message = error->message;
    g_error_free(error);
    (*done)(classify_connect_error(name.c_str()), message);
}

}  // namespace

void profile_connect(const std::string& path, ConnectDone done)
{
    ASSERT_MAIN_THREAD();
    if (!dbus_conn || path.empty()) {
        done(ProfileConnect::NOT_AVAILABLE, "no phone");
        return;
    }
    g_dbus_connection_call(dbus_conn, bluez::kService, path.c_str(), "org.bluez.Device1", "ConnectProfile",
                           g_variant_new("(s)", bluez::kHfpAgUuid), nullptr, G_DBUS_CALL_FLAGS_NONE,
                           kConnectProfileTimeoutMs, nullptr, on_connected, new ConnectDone(std::move(done)));
}
