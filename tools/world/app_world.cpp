#include "world/app_world.h"

#include <sys/stat.h>

namespace th {

void (*on_telvane_stopped)(const std::string& stderr_text) = nullptr;

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
        {"XDG_DATA_HOME", dir.file(".local/share")},
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
    if (on_telvane_stopped)
        on_telvane_stopped(read_file(out_path_ + ".err"));
}

std::string Telvane::output() const { return read_file(out_path_); }

bool Telvane::wait_for_output(const std::string& needle, int timeout_ms) const
{
    return wait_until([&] { return output().find(needle) != std::string::npos; }, timeout_ms);
}

int Telvane::count(const std::string& needle) const { return occurrences(output(), needle); }

size_t Telvane::find(const std::string& needle, size_t from) const { return output().find(needle, from); }

int Telvane::wait_exit(int timeout_ms) { return process_.wait(timeout_ms); }

void Telvane::terminate() { process_.terminate(5000); }

// ---- a call's voice ----

namespace {
const std::string kAddr = "00:11:22:33:44:55";
}

AudioCallWorld::AudioCallWorld(const std::string& pulse_server, std::vector<int> codecs, const Env& extra,
                               const std::string& setup)
    : phone(shim.path(), kAddr)
{
    phone.set_codecs(std::move(codecs));
    phone.serve_hfp(5);
    phone.listen_sco();
    phone.set_sco_mtu(48);
    world.bluez->add_device(kAddr, "Sim Phone");
    world.bluez->pair_device(kAddr);
    world.bluez->connect_device(kAddr);
    env = sim::shim_env(shim.path());
    env["PULSE_SERVER"] = pulse_server;
    for (const auto& [name, value] : extra)
        env[name] = value;
    app = std::make_unique<Telvane>(world, std::vector<std::string>{}, env, "telvane.out", setup);
}

int AudioCallWorld::start_call(int sco_timeout_ms)
{
    if (!app->wait_for_output("✓ Incoming call listener ready", 20000))
        return -1;
    Telvane second(world, {"tel:0301234567"}, env, "second.out");
    second.wait_exit(15000);
    int fd = phone.voice_link(sco_timeout_ms);
    phone.set_indicator("call", 1, true);
    phone.set_indicator("callsetup", 0, true);
    return fd;
}

void AudioCallWorld::end_call() { phone.set_indicator("call", 0, true); }

}  // namespace th
