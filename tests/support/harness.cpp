#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace th {

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

int Telvane::count(const std::string& needle) const { return occurrences(output(), needle); }

size_t Telvane::find(const std::string& needle, size_t from) const { return output().find(needle, from); }

int Telvane::wait_exit(int timeout_ms) { return process_.wait(timeout_ms); }

void Telvane::terminate() { process_.terminate(5000); }

}  // namespace th
