// Child processes and files of the simulated world that the demo, the tests
// and the benchmarks run in: every child in its own process group, killed
// with its parent, and started without allocating between fork and exec.
#pragma once
#include <sys/types.h>

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

// Starts argv in its own process group with standard input from /dev/null,
// output appended to out (and err, or out when err is empty); keep_fd, when
// not -1, becomes the child's descriptor 3.
pid_t spawn(const std::vector<std::string>& argv, const Env& env, const std::string& cwd, const std::string& out,
            const std::string& err, int keep_fd = -1);

}  // namespace th
