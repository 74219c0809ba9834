// Test machinery: the simulated world (tools/world) plus a run of the real
// telvane binary in it, and the reset of the program's state around tests.
#pragma once
#include "world/buses.h"
#include "world/processes.h"
#include "world/xvfb.h"

#include <gio/gio.h>

#include <string>
#include <vector>

namespace th {

// The program's process-wide state back to its start values, and, after a
// test, its threads ended and its window closed. Both run by themselves
// around every test of a binary that links this library.
void reset_program_state();
void settle_program_state();

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
};

// The real telvane binary, run in a world; standard output captured.
class Telvane {
public:
    // mount_setup: shell commands run in the world's folder, in a private
    // mount namespace, before the binary starts there (a read-only or full
    // file system, seen by the binary alone).
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

}  // namespace th
