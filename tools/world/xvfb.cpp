#include "world/xvfb.h"

#include "world/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace th {

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
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (waitpid(pid_holder_, nullptr, WNOHANG) == pid_holder_)
            return;
    kill(-pid_holder_, SIGKILL);
    waitpid(pid_holder_, nullptr, 0);
}

std::optional<std::string> run_x_command(const std::string& display, const std::vector<std::string>& argv,
                                         int timeout_ms)
{
    int out[2];
    if (pipe(out) != 0)
        return std::nullopt;
    ExecPlan plan(argv, {{"DISPLAY", display}});
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], 1);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 2);
        close(out[0]);
        plan.exec();
    }
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        char buf[65536];
        ssize_t n;
        done = waitpid(pid, &status, WNOHANG) == pid;   // then the read below drains what it wrote last
        while ((n = read(out[0], buf, sizeof buf)) > 0)
            text.append(buf, static_cast<size_t>(n));
        if (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(out[0]);
    if (!done) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

}  // namespace th
