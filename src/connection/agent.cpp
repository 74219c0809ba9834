#include "connection/agent.h"

#include "connection/system_bus.h"
#include "base/phone.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "core/text.h"
#include "connection/bluez.h"
#include "connection/phone_device.h"
#include "base/events.h"

#include <glib.h>

#include <cstring>
#include <string>

const char* const agent_xml =
    "<node>"
    "  <interface name='org.bluez.Agent1'>"
    "    <method name='Release'/>"
    "    <method name='RequestPinCode'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='pincode' type='s' direction='out'/>"
    "    </method>"
    "    <method name='DisplayPinCode'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='pincode' type='s' direction='in'/>"
    "    </method>"
    "    <method name='RequestPasskey'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='passkey' type='u' direction='out'/>"
    "    </method>"
    "    <method name='DisplayPasskey'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='passkey' type='u' direction='in'/>"
    "      <arg name='entered' type='q' direction='in'/>"
    "    </method>"
    "    <method name='RequestConfirmation'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='passkey' type='u' direction='in'/>"
    "    </method>"
    "    <method name='RequestAuthorization'>"
    "      <arg name='device' type='o' direction='in'/>"
    "    </method>"
    "    <method name='AuthorizeService'>"
    "      <arg name='device' type='o' direction='in'/>"
    "      <arg name='uuid' type='s' direction='in'/>"
    "    </method>"
    "    <method name='Cancel'/>"
    "  </interface>"
    "</node>";

const GDBusInterfaceVTable agent_vtable = {agent_method_call, nullptr, nullptr, {nullptr}};

namespace {

constexpr const char* kPinCode = "5931";
constexpr guint32 kPasskey = 0;

// Services a phone may ask us to authorise: hands-free (both roles) and
// phonebook access (client, server, profile).
const char* const kServedUuids[] = {
    "0000111e-0000-1000-8000-00805f9b34fb", "0000111f-0000-1000-8000-00805f9b34fb",
    "0000112e-0000-1000-8000-00805f9b34fb", "0000112f-0000-1000-8000-00805f9b34fb",
    "00001130-0000-1000-8000-00805f9b34fb",
};

// Main loop only, all three (Start, Stop and the adapter's going).
GDBusNodeInfo* agent_node = nullptr;
bool agent_registered = false;
// The connection the agent object lives on (held, so a later connection can
// never be mistaken for it); export again only if it changed.
GDBusConnection* agent_exported_on = nullptr;

// Whether a phone may pair now: the store opens it in DISCOVERABLE and
// PAIRING (set_state). Main loop only.
bool pairing_open = false;

bool export_agent(std::string* why)
{
    if (agent_exported_on == dbus_conn)
        return true;
    GError* error = nullptr;
    if (!agent_node) {
        agent_node = g_dbus_node_info_new_for_xml(agent_xml, &error);
        if (!agent_node) {
            *why = std::string("Agent XML error: ") + error->message;
            g_error_free(error);
            return false;
        }
    }
    guint id = g_dbus_connection_register_object(dbus_conn, bluez::kAgentPath, agent_node->interfaces[0],
                                                 &agent_vtable, nullptr, nullptr, &error);
    if (id == 0) {
        *why = std::string("Agent registration error: ") + error->message;
        g_error_free(error);
        return false;
    }
    if (agent_exported_on)
        g_object_unref(agent_exported_on);
    agent_exported_on = G_DBUS_CONNECTION(g_object_ref(dbus_conn));
    return true;
}

void reply_empty(GDBusMethodInvocation* invocation) { g_dbus_method_invocation_return_value(invocation, nullptr); }

void reject(GDBusMethodInvocation* invocation, const char* method, const char* why)
{
    log_msgf("⚠️ Agent: %s rejected: %s", method, why);
    g_dbus_method_invocation_return_dbus_error(invocation, "org.bluez.Error.Rejected", "Rejected");
}

bool served_uuid(const char* uuid)
{
    for (const char* served : kServedUuids)
        if (g_ascii_strcasecmp(uuid, served) == 0)
            return true;
    return false;
}

// Why a request that grants a device access must be refused, or null.
// Only while the user asked for pairing, and only for a phone.
const char* refusal_for(const char* device)
{
    if (!pairing_open)
        return "not pairing now";
    if (!device)
        return nullptr;
    bool recorded = phone_path()[0] != '\0' && std::strcmp(device, phone_path()) == 0;
    if (!recorded && !device_is_phone(device))
        return "not a phone";
    return nullptr;
}

}  // namespace

void agent_open_pairing(bool open) { pairing_open = open; }

bool agent_setup(std::string* why)
{
    ASSERT_MAIN_THREAD();
    if (!dbus_conn) {
        *why = "Agent registration error: no system bus connection";
        return false;
    }
    if (!export_agent(why))
        return false;
    GError* error = nullptr;
    if (!bluez::register_agent(dbus_conn, &error)) {
        if (!std::strstr(error->message, "Already Exists")) {
            g_dbus_error_strip_remote_error(error);
            *why = std::string("Agent introduction error: ") + error->message;
            g_error_free(error);
            return false;
        }
        g_clear_error(&error);
    }
    if (!bluez::request_default_agent(dbus_conn, &error))
        g_clear_error(&error);
    agent_registered = true;
    return true;
}

void agent_unregister()
{
    ASSERT_MAIN_THREAD();
    if (!agent_registered || !dbus_conn)
        return;
    agent_registered = false;
    GError* error = nullptr;
    if (bluez::unregister_agent(dbus_conn, &error))
        log_msg("✓ Agent unregistered");
    else
        g_clear_error(&error);
}

void agent_method_call(GDBusConnection* connection, const gchar* sender, const gchar*, const gchar*,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation, gpointer)
{
    if (!bluez::sent_by_bluez(connection, sender)) {
        log_msgf("⚠️ Agent: %s from %s rejected (not BlueZ)", method, sender ? sender : "unknown sender");
        g_dbus_method_invocation_return_dbus_error(invocation, "org.bluez.Error.Rejected", "Rejected");
        return;
    }

    if (std::strcmp(method, "Release") == 0) {
        log_msg("Agent: Release");
        reply_empty(invocation);
    } else if (std::strcmp(method, "RequestPinCode") == 0) {
        const gchar* path = nullptr;
        g_variant_get(parameters, "(&o)", &path);
        if (const char* why = refusal_for(path))
            return reject(invocation, method, why);
        log_msgf("Agent: PIN requested (%s)", kPinCode);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", kPinCode));
    } else if (std::strcmp(method, "DisplayPinCode") == 0) {
        log_msg("Agent: PIN display");
        reply_empty(invocation);
    } else if (std::strcmp(method, "RequestPasskey") == 0) {
        const gchar* path = nullptr;
        g_variant_get(parameters, "(&o)", &path);
        if (const char* why = refusal_for(path))
            return reject(invocation, method, why);
        log_msgf("Agent: Passkey requested (%u)", kPasskey);
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", kPasskey));
    } else if (std::strcmp(method, "DisplayPasskey") == 0) {
        log_msg("Agent: Passkey display");
        reply_empty(invocation);
    } else if (std::strcmp(method, "RequestConfirmation") == 0) {
        const gchar* path = nullptr;
        guint32 passkey = 0;
        g_variant_get(parameters, "(&ou)", &path, &passkey);
        log_msgf("🔔 Pairing request: %06u", passkey);
        if (const char* why = refusal_for(path))
            return reject(invocation, method, why);
        deliver_event(PairingConfirmed{path});
        reply_empty(invocation);
    } else if (std::strcmp(method, "RequestAuthorization") == 0) {
        const gchar* path = nullptr;
        g_variant_get(parameters, "(&o)", &path);
        if (const char* why = refusal_for(path))
            return reject(invocation, method, why);
        log_msg("Agent: Authorization (auto accept)");
        reply_empty(invocation);
    } else if (std::strcmp(method, "AuthorizeService") == 0) {
        const gchar* path = nullptr;
        const gchar* uuid = nullptr;
        g_variant_get(parameters, "(&o&s)", &path, &uuid);
        if (!served_uuid(uuid)) {
            gchar* why = g_strdup_printf("service %.40s is not served here", uuid);
            reject(invocation, method, utf8_repair(why).c_str());
            g_free(why);
            return;
        }
        if (const char* why = refusal_for(path))
            return reject(invocation, method, why);
        log_msg("Agent: Service authorization (auto accept)");
        reply_empty(invocation);
    } else if (std::strcmp(method, "Cancel") == 0) {
        log_msg("Agent: Cancelled");
        deliver_event(PairingCancelled{});
        reply_empty(invocation);
    } else {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                                   "Unknown method");
    }
}
