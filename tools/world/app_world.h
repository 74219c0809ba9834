// The real telvane binary run in the simulated world: its own folder
// (working directory and HOME), a system bus with the stand-in BlueZ, a
// session bus and an X server; and a connected phone ready to carry a call.
#pragma once
#include "simphone.h"
#include "world/buses.h"
#include "world/processes.h"
#include "world/xvfb.h"

#include <memory>
#include <string>
#include <vector>

namespace th {

// Everything a run of the real binary needs: its own folder (working
// directory and HOME), a system bus with the mock BlueZ, a session bus and X.
class TestWorld {
public:
    struct Options {
        bool system_bus = true;
        bool mock_bluez = true;
        bool adapter = true;
    };
    TestWorld();
    explicit TestWorld(const Options& options);
    ~TestWorld();

    TempDir dir;
    DbusDaemon* system_bus = nullptr;
    DbusDaemon session_bus;
    MockBluez* bluez = nullptr;
    Xvfb x;

    // Environment for a telvane process in this world.
    Env env() const;
    // Where the program keeps a file of that name.
    std::string config_file(const std::string& name) const { return dir.file(".config/telvane/" + name); }
    std::string data_file(const std::string& name) const { return dir.file(".local/share/telvane/" + name); }
};

// The real telvane binary, run in a world; standard output captured.
class Telvane {
public:
    // mount_setup: shell commands run in the world's folder, in a private
    // mount namespace, before the binary starts there (a read-only or full
    // file system, seen by the binary alone). They may also start it
    // themselves through a wrapper: exec wrapper "$0" "$@".
    Telvane(const TestWorld& world, const std::vector<std::string>& args = {}, const Env& extra_env = {},
            const std::string& out_name = "telvane.out", const std::string& mount_setup = "");
    ~Telvane();

    std::string output() const;
    bool wait_for_output(const std::string& needle, int timeout_ms = 15000) const;
    // Occurrences of needle in the output so far.
    int count(const std::string& needle) const;
    // Index of the first occurrence at or after from, or npos.
    size_t find(const std::string& needle, size_t from = 0) const;
    int wait_exit(int timeout_ms);
    void terminate();
    Process& process() { return process_; }

private:
    std::string out_path_;
    Process process_;
};

// True when the program's GTK main loop answers a D-Bus call on its
// application object (the call is served by the main loop only).
bool main_loop_answers(DbusDaemon& session_bus, int timeout_ms = 10000);

// Called with each finished run's standard error (the tests fail a run
// whose binary printed a sanitizer report). A plain pointer, so that it is
// set before any constructor of another file can assign it.
extern void (*on_telvane_stopped)(const std::string& stderr_text);

// A setup for AudioCallWorld: the binary runs with no right to real-time
// priority (no capability for it, no real-time allowance), as where the
// desktop gives neither.
inline constexpr const char* kNoRightToRealTime =
    "exec prlimit --rtprio=0 setpriv --bounding-set=-sys_nice --inh-caps=-sys_nice \"$0\" \"$@\"";

// A connected phone and the real binary wired to a given sound server, ready
// to carry a call's voice: the simulated phone behind the socket shim on one
// side, PULSE_SERVER on the other.
struct AudioCallWorld {
    // codecs: what the phone speaks, best first (SimPhone::set_codecs);
    // extra: more of the program's environment; setup: as Telvane's.
    explicit AudioCallWorld(const std::string& pulse_server, std::vector<int> codecs = {}, const Env& extra = {},
                            const std::string& setup = "");
    // Dials through a second launch, as a tel: link would, and lets the
    // phone report the call active. Returns the phone's end of the voice
    // link, or -1 when none came within sco_timeout_ms.
    int start_call(int sco_timeout_ms = 15000);
    void end_call();
    std::string out() const { return app->output(); }

    TestWorld world;
    TempDir shim;
    sim::SimPhone phone;
    Env env;
    std::unique_ptr<Telvane> app;
};

}  // namespace th
