#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

pid_t spawn(const std::vector<std::string>& argv, const Env& env, const std::string& cwd,
            const std::string& out, const std::string& err, int keep_fd)
{
    ExecPlan plan(argv, env);
    const std::string& err_path = err.empty() ? out : err;
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid > 0)
        return pid;
    // Child: async-signal-safe calls only, see ExecPlan.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (o >= 0)
        dup2(o, 1);
    int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (e >= 0)
        dup2(e, 2);
    if (keep_fd >= 0 && keep_fd != 3)
        dup2(keep_fd, 3);
    plan.exec();
}

}  // namespace

ExecPlan::ExecPlan(const std::vector<std::string>& argv, const Env& env) : args_(argv)
{
    if (args_.empty())
        throw std::invalid_argument("ExecPlan without a program");
    gchar* found = g_find_program_in_path(args_[0].c_str());
    path_ = found ? found : args_[0];
    g_free(found);

    Env merged;
    for (char** e = environ; *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq)
            merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : env) {
        if (v == kUnset)
            merged.erase(k);
        else
            merged[k] = v;
    }
    for (const auto& [k, v] : merged)
        vars_.push_back(k + "=" + v);

    for (auto& a : args_)
        argv_.push_back(a.data());
    argv_.push_back(nullptr);
    for (auto& v : vars_)
        envp_.push_back(v.data());
    envp_.push_back(nullptr);
}

void ExecPlan::exec() const
{
    execve(path_.c_str(), argv_.data(), envp_.data());
    _exit(127);
}

// ---- files ----

TempDir::TempDir()
{
    // TMPDIR is honoured so a test can see what a child left behind.
    std::string tmpl = std::string(g_get_tmp_dir()) + "/telvane-test-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    // A folder a test made read-only opens up before it can be emptied.
    namespace fs = std::filesystem;
    std::error_code ec, each;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, each);
    for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(each) && !it->is_symlink(each))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, each);
    fs::remove_all(path_, ec);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> read_lines(const std::string& path)
{
    std::vector<std::string> out;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()>& cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        sleep_ms(20);
    }
}

// ---- processes ----

Process::Process(const std::vector<std::string>& argv, const Env& env, const std::string& cwd,
                 const std::string& stdout_path, const std::string& stderr_path)
{
    pid_ = spawn(argv, env, cwd, stdout_path, stderr_path, -1);
}

Process::~Process() { terminate(2000); }

bool Process::running()
{
    if (pid_ <= 0 || status_ != -1)
        return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return r == 0;
}

int Process::wait(int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        sleep_ms(10);
    }
    return status_;
}

void Process::terminate(int timeout_ms)
{
    if (pid_ <= 0)
        return;
    if (running()) {
        kill(-pid_, SIGTERM);
        if (wait(timeout_ms) == -1) {
            kill(-pid_, SIGKILL);
            wait(5000);
        }
    }
    // Whatever the group left behind goes too.
    kill(-pid_, SIGKILL);
}

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

GDBusConnection* DbusDaemon::connection()
{
    if (!conn_) {
        GError* error = nullptr;
        conn_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        if (!conn_) {
            std::string msg = error ? error->message : "?";
            g_clear_error(&error);
            throw std::runtime_error("cannot connect to private bus: " + msg);
        }
        g_dbus_connection_set_exit_on_close(conn_, FALSE);
    }
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
    process_ = new Process({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "bluez5"},
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

// ---- Xvfb ----

Xvfb::Xvfb()
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    // Xvfb picks a free display and writes its number to fd 3.
    pid_t pid = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"},
                      {}, "", "/dev/null", "", fds[1]);
    close(fds[1]);
    std::string number;
    char c;
    struct timeval tv = {15, 0};
    fd_set set;
    while (true) {
        FD_ZERO(&set);
        FD_SET(fds[0], &set);
        if (select(fds[0] + 1, &set, nullptr, nullptr, &tv) <= 0)
            break;
        if (read(fds[0], &c, 1) != 1 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    display_ = ":" + number;
    if (number.empty()) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        throw std::runtime_error("Xvfb did not start");
    }
    pid_holder_ = pid;
}

Xvfb::~Xvfb()
{
    if (pid_holder_ <= 0)
        return;
    kill(-pid_holder_, SIGTERM);
    for (int i = 0; i < 1000; ++i, sleep_ms(10))
        if (waitpid(pid_holder_, nullptr, WNOHANG) == pid_holder_)
            return;
    kill(-pid_holder_, SIGKILL);
    waitpid(pid_holder_, nullptr, 0);
}

// ---- a world for the real binary ----

TestWorld::TestWorld() : TestWorld(Options{}) {}

TestWorld::TestWorld(const Options& options) : session_bus(dir.path())
{
    mkdir(dir.file(".config").c_str(), 0700);
    mkdir(dir.file("run").c_str(), 0700);
    if (options.system_bus) {
        system_bus = new DbusDaemon(dir.path());
        if (options.mock_bluez) {
            bluez = new MockBluez(*system_bus, dir.file("dbusmock.log"));
            if (options.adapter)
                bluez->add_adapter("hci0", "telvane-test");
        }
    }
}

TestWorld::~TestWorld()
{
    delete bluez;
    delete system_bus;
}

Env TestWorld::env() const
{
    return {
        {"DISPLAY", x.display()},
        {"GDK_BACKEND", "x11"},
        {"DBUS_SYSTEM_BUS_ADDRESS",
         system_bus ? system_bus->address() : "unix:path=" + dir.file("no-such-system-bus")},
        {"DBUS_SESSION_BUS_ADDRESS", session_bus.address()},
        {"HOME", dir.path()},
        {"XDG_CONFIG_HOME", dir.file(".config")},
        {"XDG_RUNTIME_DIR", dir.file("run")},
        {"GSETTINGS_BACKEND", "memory"},
        {"NO_AT_BRIDGE", "1"},
        {"PULSE_SERVER", "unix:" + dir.file("no-pulse")},
        {"LANG", "C.UTF-8"},
        {"ASAN_OPTIONS", "detect_leaks=0"},
    };
}

// ---- the binary ----

namespace {
Env merged(Env base, const Env& extra)
{
    for (const auto& [k, v] : extra)
        base[k] = v;
    return base;
}
std::vector<std::string> command(const std::vector<std::string>& args, const std::string& mount_setup)
{
    std::vector<std::string> argv{TELVANE_BINARY};
    if (!mount_setup.empty())
        argv = {"unshare", "--mount", "--propagation", "private", "sh", "-ec", mount_setup + "\nexec \"$0\" \"$@\"",
                TELVANE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}
}  // namespace

Telvane::Telvane(const TestWorld& world, const std::vector<std::string>& args, const Env& extra_env,
                 const std::string& out_name, const std::string& mount_setup)
    : out_path_(world.dir.file(out_name)),
      process_(command(args, mount_setup), merged(world.env(), extra_env), world.dir.path(),
               world.dir.file(out_name), world.dir.file(out_name + ".err"))
{
}

bool main_loop_answers(DbusDaemon& session_bus, int timeout_ms)
{
    GVariant* reply = g_dbus_connection_call_sync(session_bus.connection(), "org.telvane.Telvane",
                                                  "/org/telvane/Telvane", "org.gtk.Actions", "List", nullptr,
                                                  G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, timeout_ms,
                                                  nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    return reply != nullptr;
}

Telvane::~Telvane()
{
    process_.terminate(5000);
    // A sanitizer report in the product fails the test that ran it.
    std::string err = read_file(out_path_ + ".err");
    for (const char* marker : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                               "WARNING: ThreadSanitizer"}) {
        if (err.find(marker) != std::string::npos) {
            ADD_FAILURE() << "sanitizer report from telvane:\n" << err;
            return;
        }
    }
    // The warnings GTK or GLib printed often explain a failed wait.
    if (::testing::Test::HasFailure() && !err.empty())
        std::fprintf(stderr, "telvane's standard error:\n%s\n",
                     err.substr(err.size() > 4000 ? err.size() - 4000 : 0).c_str());
}

std::string Telvane::output() const { return read_file(out_path_); }

bool Telvane::wait_for_output(const std::string& needle, int timeout_ms) const
{
    return wait_until([&] { return output().find(needle) != std::string::npos; }, timeout_ms);
}

int occurrences(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

int Telvane::count(const std::string& needle) const { return occurrences(output(), needle); }

size_t Telvane::find(const std::string& needle, size_t from) const { return output().find(needle, from); }

int Telvane::wait_exit(int timeout_ms) { return process_.wait(timeout_ms); }

void Telvane::terminate() { process_.terminate(5000); }

}  // namespace th
