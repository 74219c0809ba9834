// Test machinery: real processes (dbus-daemon, python3-dbusmock, Xvfb, the
// telvane binary) started per test and always torn down, even when a test
// fails or the test binary dies (children get SIGKILL with their parent).
#pragma once
#include <gio/gio.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace th {

using Env = std::map<std::string, std::string>;

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
// The file's non-empty lines, as a stand-in's call record keeps them.
std::vector<std::string> read_lines(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
int occurrences(const std::string& text, const std::string& needle);

// The program's process-wide state back to its start values, and, after a
// test, its threads ended and its window closed. Both run by themselves
// around every test of a binary that links this library.
void reset_program_state();
void settle_program_state();

// Polls cond every 20 ms until it holds or timeout passes; also iterates the
// default main context so GDBus signals reach in-process handlers.
bool wait_until(const std::function<bool()>& cond, int timeout_ms = 10000);

// A child process in its own process group; stdout and stderr go to files.
class Process {
public:
    // env: variables to set; a value of "\x01unset" removes the variable.
    Process(const std::vector<std::string>& argv, const Env& env = {}, const std::string& cwd = "",
            const std::string& stdout_path = "/dev/null", const std::string& stderr_path = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Exit status (0..255), 128+signal when killed, or -1 on timeout.
    int wait(int timeout_ms);
    void terminate(int timeout_ms = 3000);   // SIGTERM, then SIGKILL, to the whole group

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

inline constexpr const char* kUnset = "\x01unset";

// Everything a child needs to exec, built before fork. The test process has
// threads (GDBus, the simulated phone), and one of them may hold malloc's or
// the environment's lock at the moment of the fork; a child that allocates
// or calls setenv can then hang before exec. exec() itself only calls execve.
class ExecPlan {
public:
    // argv[0] is searched on PATH; env entries override (or, as kUnset,
    // remove) the parent's environment.
    explicit ExecPlan(const std::vector<std::string>& argv, const Env& env = {});
    ExecPlan(const ExecPlan&) = delete;
    ExecPlan& operator=(const ExecPlan&) = delete;
    // In the forked child: replaces the process, or exits with 127.
    [[noreturn]] void exec() const;

private:
    std::string path_;
    std::vector<std::string> args_;
    std::vector<std::string> vars_;
    std::vector<char*> argv_;
    std::vector<char*> envp_;
};

// A private bus (dbus-daemon with the session configuration, no policy).
class DbusDaemon {
public:
    explicit DbusDaemon(const std::string& dir);
    ~DbusDaemon();
    const std::string& address() const { return address_; }
    // A connection of the test's own, made on first use.
    GDBusConnection* connection();
    bool wait_for_name(const std::string& name, int timeout_ms = 30000);

private:
    std::string address_;
    Process* process_ = nullptr;
    GDBusConnection* conn_ = nullptr;
};

// python3-dbusmock's bluez5 template on a private system bus, with BlueZ's
// real answer to a second RegisterAgent ("Already Exists").
class MockBluez {
public:
    explicit MockBluez(DbusDaemon& system_bus, const std::string& log_path = "/dev/null");
    ~MockBluez();

    std::string add_adapter(const std::string& name = "hci0", const std::string& system_name = "telvane-test");
    std::string add_device(const std::string& address, const std::string& alias,
                           const std::string& adapter = "hci0");
    void pair_device(const std::string& address, const std::string& adapter = "hci0");
    void connect_device(const std::string& address, const std::string& adapter = "hci0");
    void disconnect_device(const std::string& address, const std::string& adapter = "hci0");
    // Replaces (or adds) a method on an object, as dbusmock's AddMethod does.
    void add_method(const std::string& path, const std::string& iface, const std::string& name,
                    const std::string& in_sig, const std::string& out_sig, const std::string& code);
    // Calls recorded by dbusmock on an object: "timestamp method args" lines.
    std::vector<std::string> calls(const std::string& path);
    void clear_calls(const std::string& path);
    // Generic call on org.bluez; returns the reply (caller unrefs) or null with error set.
    GVariant* call(const std::string& path, const std::string& iface, const std::string& method,
                   GVariant* params, GError** error = nullptr, int timeout_ms = 25000);
    GVariant* get_property(const std::string& path, const std::string& iface, const std::string& name);

private:
    DbusDaemon& bus_;
    Process* process_ = nullptr;
};

// An X server for GTK (Xvfb on a free display).
class Xvfb {
public:
    Xvfb();
    ~Xvfb();
    const std::string& display() const { return display_; }

private:
    std::string display_;
    pid_t pid_holder_ = -1;
};

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
