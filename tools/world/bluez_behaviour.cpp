#include "world/bluez_behaviour.h"

namespace th {

namespace {

// Runs inside the mock: args are (dest, method, device, passkey). Like
// bluetoothd, the mock calls the agent without blocking, so it can answer
// the agent's own questions (a device's properties) meanwhile; the answer is
// collected later with AgentResult.
const char* kCallAgentCode =
    "dest, method, device, passkey = args\n"
    "device = dbus.ObjectPath(device)\n"
    "table = {\n"
    "    'Release': ('', []),\n"
    "    'Cancel': ('', []),\n"
    "    'RequestPinCode': ('o', [device]),\n"
    "    'RequestPasskey': ('o', [device]),\n"
    "    'RequestAuthorization': ('o', [device]),\n"
    "    'DisplayPinCode': ('os', [device, '482913']),\n"
    "    'DisplayPasskey': ('ouq', [device, passkey, dbus.UInt16(2)]),\n"
    "    'RequestConfirmation': ('ou', [device, passkey]),\n"
    "    'AuthorizeService': ('os', [device, '0000111f-0000-1000-8000-00805f9b34fb']),\n"
    "    'AuthorizeHid': ('os', [device, '00001124-0000-1000-8000-00805f9b34fb']),\n"
    "}\n"
    "signature, call_args = table[str(method)]\n"
    "if str(method) == 'AuthorizeHid':\n"
    "    method = 'AuthorizeService'\n"
    "if not hasattr(self, 'agent_results'):\n"
    "    self.agent_results = {}\n"
    "    self.agent_seq = 0\n"
    "self.agent_seq += 1\n"
    "key = str(self.agent_seq)\n"
    "def done(*reply, key=key, results=self.agent_results):\n"
    "    results[key] = 'ok' if not reply else 'ok ' + str(reply[0])\n"
    "def failed(e, key=key, results=self.agent_results):\n"
    "    results[key] = 'error ' + str(e.get_dbus_name()) + ': ' + str(e.get_dbus_message())\n"
    "self.connection.call_async(dest, '/org/bluez/agent', 'org.bluez.Agent1', method, signature, call_args,\n"
    "                           done, failed, timeout=20)\n"
    "ret = key\n";

const char* kAgentResultCode = "ret = getattr(self, 'agent_results', {}).pop(args[0], '')\n";

struct Pending {
    bool done = false;
    std::string result;
};

void on_described_reply(GObject* source, GAsyncResult* res, gpointer data)
{
    auto* pending = static_cast<Pending*>(data);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), res, &error);
    if (!reply) {
        gchar* remote = g_dbus_error_get_remote_error(error);
        g_dbus_error_strip_remote_error(error);
        pending->result = std::string("error ") + (remote ? remote : "?") + ": " + error->message;
        g_free(remote);
        g_error_free(error);
    } else {
        if (g_variant_is_of_type(reply, G_VARIANT_TYPE("(s)"))) {
            const gchar* text = nullptr;
            g_variant_get(reply, "(&s)", &text);
            pending->result = text;
        } else if (g_variant_n_children(reply) == 0) {
            pending->result = "ok";
        } else {
            GVariant* first = g_variant_get_child_value(reply, 0);
            gchar* printed = g_variant_print(first, FALSE);
            pending->result = std::string("ok ") + printed;
            g_free(printed);
            g_variant_unref(first);
        }
        g_variant_unref(reply);
    }
    pending->done = true;
}

}  // namespace

std::string call_described(GDBusConnection* conn, const char* dest, const char* path, const char* iface,
                          const char* method, GVariant* params)
{
    // Shared with the callback, which may only run after we gave up waiting.
    auto* pending = new Pending;
    g_dbus_connection_call(conn, dest, path, iface, method, params, nullptr, G_DBUS_CALL_FLAGS_NONE, 25000,
                           nullptr, on_described_reply, pending);
    if (!wait_until([&] { return pending->done; }, 30000))
        return "no answer";   // leaks pending on purpose: the callback still owns it
    std::string result = pending->result;
    delete pending;
    return result;
}


void install_agent_caller(MockBluez& bluez)
{
    bluez.add_method("/", "org.bluez.Mock", "CallAgent", "sssu", "s", kCallAgentCode);
    bluez.add_method("/", "org.bluez.Mock", "AgentResult", "s", "s", kAgentResultCode);
}

std::string call_agent_as_bluez(DbusDaemon& system_bus, const std::string& dest, const std::string& method,
                                const std::string& device, unsigned passkey)
{
    std::string key = call_described(system_bus.connection(), "org.bluez", "/", "org.bluez.Mock", "CallAgent",
                                    g_variant_new("(sssu)", dest.c_str(), method.c_str(), device.c_str(), passkey));
    if (key.empty() || key.rfind("error", 0) == 0 || key == "no answer")
        return key;
    std::string result;
    wait_until([&] {
        result = call_described(system_bus.connection(), "org.bluez", "/", "org.bluez.Mock", "AgentResult",
                               g_variant_new("(s)", key.c_str()));
        return !result.empty();
    }, 30000);
    return result.empty() ? "no answer" : result;
}

void make_phone(MockBluez& bluez, const std::string& device_path, bool phone)
{
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    // A smartphone's class, or a keyboard's with the HID service it offers.
    g_variant_builder_add(&props, "{sv}", "Class", g_variant_new_uint32(phone ? 0x5A020C : 0x002540));
    if (!phone) {
        const gchar* hid[] = {"00001124-0000-1000-8000-00805f9b34fb", nullptr};
        g_variant_builder_add(&props, "{sv}", "UUIDs", g_variant_new_strv(hid, -1));
    }
    g_variant_unref(bluez.call(device_path, "org.freedesktop.DBus.Mock", "UpdateProperties",
                               g_variant_new("(sa{sv})", "org.bluez.Device1", &props)));
}

void script_device(MockBluez& bluez, const std::string& device_path, ConnectAnswer answer)
{
    const std::string set_connected =
        "self.connected = True\n"
        "self.UpdateProperties('org.bluez.Device1', {'Connected': dbus.Boolean(True)})\n";
    const std::string fail =
        "raise dbus.exceptions.DBusException('Page Timeout', name='org.bluez.Error.Failed')\n";
    const bool connects = answer == ConnectAnswer::Connects || answer == ConnectAnswer::ConnectsThenFails;
    const bool fails = answer == ConnectAnswer::Fails || answer == ConnectAnswer::ConnectsThenFails;
    std::string code = (connects ? set_connected : "") + (fails ? fail : "");
    if (answer == ConnectAnswer::NeverAnswers)   // longer than the caller's 30 s timeout; the mock is stuck meanwhile
        code = "import time\ntime.sleep(36)\n";
    bluez.add_method(device_path, "org.bluez.Device1", "Connect", "", "", code);
    bluez.add_method(device_path, "org.bluez.Device1", "Disconnect", "", "",
                     "if not self.props['org.bluez.Device1']['Connected']:\n"
                     "    raise dbus.exceptions.DBusException('Not Connected', name='org.bluez.Error.NotConnected')\n"
                     "self.connected = False\n"
                     "self.UpdateProperties('org.bluez.Device1', {'Connected': dbus.Boolean(False)})\n");
}

std::string adapter_property(MockBluez& bluez, const std::string& name)
{
    GVariant* v = bluez.get_property("/org/bluez/hci0", "org.bluez.Adapter1", name);
    gchar* printed = g_variant_print(v, TRUE);
    std::string out = printed;
    g_free(printed);
    g_variant_unref(v);
    return out;
}

}  // namespace th
