// The demo as a user runs it from a terminal without a display, ended with
// Ctrl+C: every process it started goes, and so does its temporary folder.
#include "harness.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace {

struct ProcInfo {
    pid_t parent;
    char state;
    std::string name;
};

std::map<pid_t, ProcInfo> all_processes()
{
    std::map<pid_t, ProcInfo> out;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0)
            continue;
        std::string stat = th::read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 >= stat.size())
            continue;
        ProcInfo info{static_cast<pid_t>(std::atoi(stat.c_str() + close + 4)), stat[close + 2],
                      stat.substr(open + 1, close - open - 1)};
        out[pid] = info;
    }
    if (proc)
        closedir(proc);
    return out;
}

std::map<pid_t, std::string> descendants(pid_t root)
{
    std::map<pid_t, ProcInfo> all = all_processes();
    std::map<pid_t, std::string> found;
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, info] : all)
            if ((info.parent == root || found.count(info.parent)) && !found.count(pid)) {
                found[pid] = info.name;
                grew = true;
            }
    }
    return found;
}

bool alive(pid_t pid)
{
    auto all = all_processes();
    return all.count(pid) && all[pid].state != 'Z';
}

TEST(Demo, CtrlCEndsEveryProcessItStartedAndLeavesNoFolder)
{
    th::TempDir dir;
    std::string tmp = dir.file("tmp"), work = dir.file("work");
    g_mkdir_with_parents(tmp.c_str(), 0700);
    g_mkdir_with_parents(work.c_str(), 0700);
    // No display and no sound server: the demo starts both itself.
    th::Process demo({TELVANE_BUILD_DIR "/tools/demo/telvane-demo"},
                     {{"DISPLAY", th::kUnset}, {"TMPDIR", tmp}, {"HOME", work}, {"XDG_RUNTIME_DIR", work},
                      {"PULSE_SERVER", th::kUnset}, {"DBUS_SESSION_BUS_ADDRESS", th::kUnset}},
                     work, dir.file("demo.out"), dir.file("demo.err"));
    ASSERT_TRUE(th::wait_until([&] { return th::read_file(dir.file("demo.out")).find(
                                                "✓ Incoming call listener ready") != std::string::npos; },
                               90000))
        << th::read_file(dir.file("demo.err"));

    std::map<pid_t, std::string> started = descendants(demo.pid());
    std::multiset<std::string> names;
    for (const auto& [pid, name] : started)
        names.insert(name);
    for (const char* wanted : {"Xvfb", "dbus-daemon", "pulseaudio", "telvane"})
        EXPECT_TRUE(names.count(wanted)) << wanted;
    EXPECT_EQ(names.count("dbus-daemon"), 2u);
    EXPECT_GE(names.count("python3"), 2u);   // the stand-in BlueZ and obexd
    std::string err = th::read_file(dir.file("demo.err"));
    size_t at = err.find("DISPLAY=:");
    ASSERT_NE(at, std::string::npos) << err;
    std::string display = err.substr(at + 9, err.find_first_not_of("0123456789", at + 9) - at - 9);

    // What a terminal does on Ctrl+C: SIGINT to the foreground process group.
    ASSERT_EQ(kill(-demo.pid(), SIGINT), 0);
    EXPECT_EQ(demo.wait(60000), 0) << th::read_file(dir.file("demo.err"));
    auto none_alive = [&] {
        return std::none_of(started.begin(), started.end(), [](const auto& p) { return alive(p.first); });
    };
    EXPECT_TRUE(th::wait_until(none_alive, 30000));
    for (const auto& [pid, name] : started)
        EXPECT_FALSE(alive(pid)) << name << " " << pid << " is still running";
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the demo left its temporary folder";
    // A server that was killed rather than stopped leaves its lock naming
    // itself. Tests running beside this one may have taken the display number
    // since, so a lock naming another server is theirs.
    std::string lock = th::read_file("/tmp/.X" + display + "-lock");
    pid_t owner = lock.empty() ? 0 : static_cast<pid_t>(atoi(lock.c_str()));
    EXPECT_FALSE(owner && started.count(owner)) << "the demo's X server left its lock";
}

}  // namespace
