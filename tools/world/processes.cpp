#include "world/processes.h"

#include <glib.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace th {

namespace {
void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

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
    // A program gets what one started from a desktop gets: the standard
    // three (and the one it is handed), not whatever this test holds open.
    close_range(keep_fd >= 0 ? 4 : 3, ~0U, 0);
    plan.exec();
}

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
    std::error_code ignored;   // a missing folder shows as the write failing
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
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

int occurrences(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
        ++n;
    return n;
}

}  // namespace th
