#include "world/buses.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace th {

namespace {
bool unix_socket_accepts(const std::string& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}
}  // namespace

// ---- dbus-daemon ----

DbusDaemon::DbusDaemon(const std::string& dir)
{
    static int counter = 0;
    std::string socket = dir + "/bus-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    address_ = "unix:path=" + socket;
    // No service folders: a test bus must never start the machine's own
    // daemons (obexd would otherwise be activated on first call).
    std::string config = socket + ".conf";
    write_file(config,
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>" + address_ + "</listen>"
               "<auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    process_ = new Process({"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile"},
                           {{"DBUS_SESSION_BUS_ADDRESS", kUnset}});
    // The socket file appears at bind(), a moment before listen(): wait
    // until it takes connections, or the first client may be refused.
    if (!wait_until([&] { return file_exists(socket) && unix_socket_accepts(socket); }, 30000))
        throw std::runtime_error("dbus-daemon did not start");
}

DbusDaemon::~DbusDaemon()
{
    if (conn_) {
        g_dbus_connection_close_sync(conn_, nullptr, nullptr);
        g_object_unref(conn_);
    }
    delete process_;
}

GDBusConnection* DbusDaemon::open_connection() const
{
    GError* error = nullptr;
    GDBusConnection* conn = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!conn) {
        std::string msg = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("cannot connect to private bus: " + msg);
    }
    g_dbus_connection_set_exit_on_close(conn, FALSE);
    return conn;
}

GDBusConnection* DbusDaemon::connection()
{
    if (!conn_)
        conn_ = open_connection();
    return conn_;
}

bool DbusDaemon::wait_for_name(const std::string& name, int timeout_ms)
{
    return wait_until(
        [&] {
            GVariant* r = g_dbus_connection_call_sync(connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "NameHasOwner",
                                                      g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
                                                      G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
            if (!r)
                return false;
            gboolean has = FALSE;
            g_variant_get(r, "(b)", &has);
            g_variant_unref(r);
            return has != FALSE;
        },
        timeout_ms);
}

// ---- mock BlueZ ----

MockBluez::MockBluez(DbusDaemon& system_bus, const std::string& log_path) : bus_(system_bus)
{
    process_ = new Process({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template",
                            TELVANE_SOURCE_DIR "/tools/world/bluez5_telvane.py"},
                           {{"DBUS_SYSTEM_BUS_ADDRESS", bus_.address()}, {"DBUS_SESSION_BUS_ADDRESS", kUnset}}, "",
                           log_path);
    if (!bus_.wait_for_name("org.bluez"))
        throw std::runtime_error("mock bluez did not start");
    // Real BlueZ answers a second RegisterAgent of the same path with
    // org.bluez.Error.AlreadyExists "Already Exists"; the template raises a
    // Python AttributeError instead.
    add_method("/org/bluez", "org.bluez.AgentManager1", "RegisterAgent", "os", "",
               "if args[0] in self.agent_paths:\n"
               "    raise dbus.exceptions.DBusException('Already Exists', name='org.bluez.Error.AlreadyExists')\n"
               "self.agent_paths += [args[0]]\n"
               "self.capabilities[str(args[0])] = args[1]\n"
               "if not self.default_agent:\n"
               "    self.default_agent = args[0]\n");
}

MockBluez::~MockBluez() { delete process_; }

GVariant* MockBluez::call(const std::string& path, const std::string& iface, const std::string& method,
                          GVariant* params, GError** error, int timeout_ms)
{
    GError* local = nullptr;
    GVariant* r = g_dbus_connection_call_sync(bus_.connection(), "org.bluez", path.c_str(), iface.c_str(),
                                              method.c_str(), params, nullptr, G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                                              nullptr, error ? error : &local);
    if (!r && !error) {
        std::string msg = local ? local->message : "?";
        g_clear_error(&local);
        throw std::runtime_error("mock call " + method + " failed: " + msg);
    }
    return r;
}

namespace {
constexpr const char* kMock = "org.bluez.Mock";

std::string path_of(GVariant* reply)
{
    const gchar* path = nullptr;
    g_variant_get(reply, "(&s)", &path);
    std::string out = path;
    g_variant_unref(reply);
    return out;
}
}  // namespace

std::string MockBluez::add_adapter(const std::string& name, const std::string& system_name)
{
    return path_of(call("/", kMock, "AddAdapter", g_variant_new("(ss)", name.c_str(), system_name.c_str())));
}

std::string MockBluez::add_device(const std::string& address, const std::string& alias, const std::string& adapter)
{
    return path_of(
        call("/", kMock, "AddDevice", g_variant_new("(sss)", adapter.c_str(), address.c_str(), alias.c_str())));
}

void MockBluez::pair_device(const std::string& address, const std::string& adapter)
{
    g_variant_unref(call("/", kMock, "PairDevice", g_variant_new("(ssi)", adapter.c_str(), address.c_str(), 5898764)));
}

void MockBluez::connect_device(const std::string& address, const std::string& adapter)
{
    g_variant_unref(call("/", kMock, "ConnectDevice", g_variant_new("(ss)", adapter.c_str(), address.c_str())));
}

void MockBluez::disconnect_device(const std::string& address, const std::string& adapter)
{
    g_variant_unref(call("/", kMock, "DisconnectDevice", g_variant_new("(ss)", adapter.c_str(), address.c_str())));
}

void MockBluez::add_method(const std::string& path, const std::string& iface, const std::string& name,
                           const std::string& in_sig, const std::string& out_sig, const std::string& code)
{
    g_variant_unref(call(path, "org.freedesktop.DBus.Mock", "AddMethod",
                         g_variant_new("(sssss)", iface.c_str(), name.c_str(), in_sig.c_str(), out_sig.c_str(),
                                       code.c_str())));
}

std::vector<std::string> MockBluez::calls(const std::string& path)
{
    std::vector<std::string> out;
    GVariant* r = call(path, "org.freedesktop.DBus.Mock", "GetCalls", nullptr);
    GVariant* list = g_variant_get_child_value(r, 0);
    GVariantIter iter;
    g_variant_iter_init(&iter, list);
    guint64 ts = 0;
    const gchar* method = nullptr;
    GVariant* args = nullptr;
    while (g_variant_iter_next(&iter, "(t&s@av)", &ts, &method, &args)) {
        gchar* printed = g_variant_print(args, FALSE);
        out.push_back(std::string(method) + " " + printed);
        g_free(printed);
        g_variant_unref(args);
    }
    g_variant_unref(list);
    g_variant_unref(r);
    return out;
}

void MockBluez::clear_calls(const std::string& path)
{
    g_variant_unref(call(path, "org.freedesktop.DBus.Mock", "ClearCalls", nullptr));
}

GVariant* MockBluez::get_property(const std::string& path, const std::string& iface, const std::string& name)
{
    GVariant* r = call(path, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", iface.c_str(), name.c_str()));
    GVariant* v = nullptr;
    g_variant_get(r, "(v)", &v);
    g_variant_unref(r);
    return v;
}

// ---- the stand-in obexd ----

FakeObexd::FakeObexd(DbusDaemon& session_bus, const std::string& dir)
    : bus_(session_bus), dir_(dir), config_path_(dir + "/fake_obexd.json"), log_path_(dir + "/fake_obexd.calls")
{
    write_file(config_path_, "{}");
    write_file(log_path_, "");
    start();
}

void FakeObexd::start()
{
    process_ = new Process({"/usr/bin/python3", TELVANE_SOURCE_DIR "/tools/fake-obexd/fake_obexd.py", config_path_,
                            log_path_, dir_},
                           {{"DBUS_SESSION_BUS_ADDRESS", bus_.address()}}, "", dir_ + "/fake_obexd.log");
    if (!bus_.wait_for_name("org.bluez.obex")) {
        delete process_;
        process_ = nullptr;
        throw std::runtime_error("simulated obexd did not start");
    }
}

void FakeObexd::kill()
{
    if (process_)
        ::kill(-process_->pid(), SIGKILL);
    delete process_;
    process_ = nullptr;
}

FakeObexd::~FakeObexd() { delete process_; }

void FakeObexd::configure(const std::string& json)
{
    // Written whole and renamed, so the daemon never reads half a file.
    write_file(config_path_ + ".new", json);
    std::rename((config_path_ + ".new").c_str(), config_path_.c_str());
}

std::vector<std::string> FakeObexd::calls() const { return read_lines(log_path_); }

int FakeObexd::count(const std::string& method) const
{
    int n = 0;
    for (const auto& call : calls())
        if (call.find("\"method\": \"" + method + "\"") != std::string::npos)
            ++n;
    return n;
}

// ---- the notification server ----

FakeNotifications::FakeNotifications(DbusDaemon& session_bus, const std::string& dir)
    : bus_(session_bus), log_path_(dir + "/notifications.calls")
{
    write_file(log_path_, "");
    process_ = new Process({"/usr/bin/python3", TELVANE_SOURCE_DIR "/tools/fake-notifications/fake_notifications.py", log_path_},
                           {{"DBUS_SESSION_BUS_ADDRESS", session_bus.address()}}, "", dir + "/notifications.log");
    if (!session_bus.wait_for_name("org.freedesktop.Notifications")) {
        delete process_;
        process_ = nullptr;
        throw std::runtime_error("notification server did not start");
    }
}

FakeNotifications::~FakeNotifications() { delete process_; }

std::vector<std::string> FakeNotifications::calls() const { return read_lines(log_path_); }

namespace {
unsigned id_of(const std::string& call)
{
    size_t at = call.find("\"id\": ");
    return at == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(call.c_str() + at + 6, nullptr, 10));
}
}  // namespace

unsigned FakeNotifications::notified(const std::string& summary_part) const
{
    unsigned id = 0;
    for (const std::string& call : calls()) {
        size_t summary = call.find("\"summary\": \"");
        if (call.find("\"method\": \"Notify\"") != std::string::npos && summary != std::string::npos &&
            call.compare(summary + 12, summary_part.size(), summary_part) == 0)
            id = id_of(call);
    }
    return id;
}

bool FakeNotifications::closed(unsigned id) const
{
    for (const std::string& call : calls())
        if (call.find("\"method\": \"CloseNotification\"") != std::string::npos && id_of(call) == id)
            return true;
    return false;
}

std::string FakeNotifications::action_key(unsigned id, const std::string& label) const
{
    std::string key, button = "\"" + label + "\": \"";
    for (const std::string& call : calls()) {
        size_t at = call.find(button, call.find("\"buttons\": {"));
        if (call.find("\"method\": \"Notify\"") != std::string::npos && id_of(call) == id &&
            at < call.find("\"hints\": {"))
            key = call.substr(at + button.size(), call.find('"', at + button.size()) - at - button.size());
    }
    return key;
}

bool FakeNotifications::invoke(unsigned id, const std::string& action_key)
{
    GVariant* reply = g_dbus_connection_call_sync(
        bus_.connection(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.telvane.test.NotificationUser", "Invoke", g_variant_new("(us)", id, action_key.c_str()), nullptr,
        G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    return reply != nullptr;
}

RealtimeKit::RealtimeKit(DbusDaemon& system_bus, const std::string& dir) : log_path_(dir + "/rtkit.log")
{
    const Env env{{"DBUS_SYSTEM_BUS_ADDRESS", system_bus.address()}, {"DBUS_SESSION_BUS_ADDRESS", kUnset}};
    polkit_ = new Process({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "polkitd"}, env, "",
                          dir + "/polkitd.log");
    if (!system_bus.wait_for_name("org.freedesktop.PolicyKit1")) {
        delete polkit_;
        throw std::runtime_error("mock polkitd did not start");
    }
    GError* error = nullptr;
    const char* allowed[] = {"org.freedesktop.RealtimeKit1.acquire-real-time", nullptr};
    GVariant* reply = g_dbus_connection_call_sync(
        system_bus.connection(), "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
        "org.freedesktop.DBus.Mock", "SetAllowed", g_variant_new("(^as)", allowed), nullptr, G_DBUS_CALL_FLAGS_NONE,
        5000, nullptr, &error);
    if (!reply) {
        std::string why = error ? error->message : "?";
        g_clear_error(&error);
        delete polkit_;
        throw std::runtime_error("mock polkitd refused its setup: " + why);
    }
    g_variant_unref(reply);
    // Run as root in place: the machine's rtkit user and the chroot to
    // /proc need an installed system; its own limits would stop it writing
    // its log. The watchdog would demote threads of a busy test machine.
    daemon_ = new Process({"/usr/libexec/rtkit-daemon", "--stderr", "--no-drop-privileges", "--no-chroot",
                           "--no-limit-resources", "--no-canary"},
                          env, "", "/dev/null", log_path_);
    if (!system_bus.wait_for_name("org.freedesktop.RealtimeKit1")) {
        delete daemon_;
        delete polkit_;
        throw std::runtime_error("rtkit-daemon did not start");
    }
}

RealtimeKit::~RealtimeKit()
{
    delete daemon_;
    delete polkit_;
}

std::string RealtimeKit::log() const { return read_file(log_path_); }

}  // namespace th
