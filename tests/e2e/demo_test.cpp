// The demo as a user runs it from a terminal without a display, ended with
// Ctrl+C: every process it started goes, and so does its temporary folder.
#include "harness.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <set>

namespace {

// Every live process as pid -> (parent, name); zombies count as gone.
std::map<pid_t, std::pair<pid_t, std::string>> live_processes()
{
    std::map<pid_t, std::pair<pid_t, std::string>> out;
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        pid_t pid = std::atoi(e.path().filename().c_str());
        std::string stat = pid > 0 ? th::read_file(e.path() / "stat") : "";
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open != std::string::npos && close != std::string::npos && close + 4 < stat.size() && stat[close + 2] != 'Z')
            out[pid] = {std::atoi(stat.c_str() + close + 4), stat.substr(open + 1, close - open - 1)};
    }
    return out;
}

TEST(Demo, CtrlCEndsEveryProcessItStartedAndLeavesNoFolder)
{
    th::TempDir dir;
    std::string tmp = dir.file("tmp"), work = dir.file("work");
    for (const std::string& d : {tmp, work})
        g_mkdir_with_parents(d.c_str(), 0700);
    // No display and no sound server: the demo starts both itself.
    th::Process demo({TELVANE_BUILD_DIR "/tools/demo/telvane-demo"},
                     {{"DISPLAY", th::kUnset}, {"TMPDIR", tmp}, {"HOME", work}, {"XDG_RUNTIME_DIR", work},
                      {"PULSE_SERVER", th::kUnset}, {"DBUS_SESSION_BUS_ADDRESS", th::kUnset}},
                     work, dir.file("demo.out"), dir.file("demo.err"));
    auto ready = [&] { return th::read_file(dir.file("demo.out")).find("✓ Incoming call listener ready") != std::string::npos; };
    ASSERT_TRUE(th::wait_until(ready, 90000)) << th::read_file(dir.file("demo.err"));

    auto all = live_processes();
    std::map<pid_t, std::string> started;   // the demo's descendants
    std::multiset<std::string> names;
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, info] : all)
            if ((info.first == demo.pid() || started.count(info.first)) && !started.count(pid)) {
                names.insert(started[pid] = info.second);
                grew = true;
            }
    }
    for (const char* wanted : {"Xvfb", "pulseaudio", "telvane"})
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
    th::wait_until([&] {
        all = live_processes();
        return std::none_of(started.begin(), started.end(), [&](const auto& p) { return all.count(p.first); });
    }, 30000);
    for (const auto& [pid, name] : started)
        EXPECT_FALSE(all.count(pid)) << name << " " << pid << " is still running";
    EXPECT_TRUE(std::filesystem::is_empty(tmp)) << "the demo left its temporary folder";
    // A server killed rather than stopped leaves its lock naming itself; a
    // lock naming another server belongs to a test that took the number since.
    std::string lock = th::read_file("/tmp/.X" + display + "-lock");
    EXPECT_FALSE(!lock.empty() && started.count(std::atoi(lock.c_str()))) << "the demo's X server left its lock";
}

}  // namespace
