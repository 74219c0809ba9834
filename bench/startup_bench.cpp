// Start-up of the real binary beside a trivial GtkApplication window, both
// measured in this run on the same X server and buses: from exec to the
// window mapped, and the resident memory once it has settled, with nothing
// cached and with 2000 contacts and 1000 recent calls. Targets: at most 1.5x the time and
// 1.3x the memory of the reference. The figures are medians of alternating
// runs; other work on the machine moves both sides alike.
#include "world/app_world.h"

#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double map_ms = -1;
    long rss_kb = -1;
};

// With BENCH_SMAPS set: where the resident memory of pid lies, largest first,
// as many mappings as it says (15 when it is not a number).
void print_mappings(pid_t pid, const char* who)
{
    if (!g_getenv("BENCH_SMAPS"))
        return;
    std::map<std::string, long> kb;
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string current = "[anon]";
    for (std::string line; std::getline(smaps, line);) {
        if (line.rfind("Rss:", 0) == 0) {
            kb[current] += std::atol(line.c_str() + 4);
        } else if (line.find('-') < 16 && line.find(':') != std::string::npos && line.find(' ') < 40) {
            size_t path = line.find('/');
            size_t bracket = line.find('[');
            current = path != std::string::npos ? line.substr(path) : bracket != std::string::npos ? line.substr(bracket) : "[anon]";
        }
    }
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto& [name, size] : kb)
        sorted.push_back({size, name});
    std::sort(sorted.rbegin(), sorted.rend());
    const long rows = std::atol(g_getenv("BENCH_SMAPS")) > 0 ? std::atol(g_getenv("BENCH_SMAPS")) : 15;
    for (size_t i = 0; i < sorted.size() && long(i) < rows; ++i)
        std::printf("  %s %7ld KiB %s\n", who, sorted[i].first, sorted[i].second.c_str());
}

long resident_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// Starts argv and waits for its first top-level window to be mapped.
Sample run_once(Display* x, const std::vector<std::string>& argv, const th::Env& env, const std::string& cwd)
{
    XSync(x, True);   // events of earlier runs are dropped
    Sample s;
    auto start = Clock::now();
    th::Process process(argv, env, cwd);
    auto elapsed_ms = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
    while (s.map_ms < 0 && elapsed_ms() < 30000) {
        while (XPending(x) && s.map_ms < 0) {
            XEvent event;
            XNextEvent(x, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect)
                s.map_ms = elapsed_ms();
        }
        pollfd fd{ConnectionNumber(x), POLLIN, 0};
        if (s.map_ms < 0)
            poll(&fd, 1, 1);
    }
    // Lists filled after the first frame count too.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    s.rss_kb = resident_kb(process.pid());
    print_mappings(process.pid(), argv[0] == TELVANE_BINARY ? "telvane" : "reference");
    process.terminate();
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

void write_caches(const th::TestWorld& world)
{
    std::string contacts = "name,number\n";
    for (int i = 0; i < 2000; ++i)
        contacts += "\"Contact " + std::to_string(i) + " Müller-Lüdenscheidt\",\"+49 170 " +
                    std::to_string(1000000 + i) + "\"\n";
    th::write_file(world.data_file("contacts.csv"), contacts);
    std::string recents = "type,name,number,time\n";
    const char* types[] = {"📥 Incoming", "📤 Outgoing", "❌ Missed"};
    for (int i = 0; i < 1000; ++i)
        recents += std::string("\"") + types[i % 3] + "\",\"Contact " + std::to_string(i) + "\",\"+49 170 " +
                   std::to_string(1000000 + i) + "\",\"" + std::to_string(10 + i % 18) + ".01.2024 09:45\"\n";
    th::write_file(world.data_file("recents.csv"), recents);
}

// Medians of alternating runs of the reference and telvane.
void compare(Display* x, const th::TestWorld& world, int runs, const char* what)
{
    const std::vector<std::string> reference{REFERENCE_APP}, telvane{TELVANE_BINARY};
    th::Env env = world.env();
    std::vector<double> ref_ms, app_ms, ref_kb, app_kb;
    run_once(x, telvane, env, world.dir.path());   // warms the file cache for both
    run_once(x, reference, env, world.dir.path());
    for (int i = 0; i < runs; ++i) {
        Sample r = run_once(x, reference, env, world.dir.path());
        Sample t = run_once(x, telvane, env, world.dir.path());
        ref_ms.push_back(r.map_ms);
        app_ms.push_back(t.map_ms);
        ref_kb.push_back(double(r.rss_kb));
        app_kb.push_back(double(t.rss_kb));
    }
    double rm = median(ref_ms), tm = median(app_ms), rk = median(ref_kb), tk = median(app_kb);
    std::printf("start-up, %d runs each (medians), %s\n", runs, what);
    std::printf("%-28s %10s %10s %8s %8s\n", "", "reference", "telvane", "ratio", "target");
    std::printf("%-28s %8.1f ms %8.1f ms %8.2f %8s  %s\n", "exec to window mapped", rm, tm, tm / rm, "<= 1.5",
                tm <= 1.5 * rm ? "ok" : "MISSED");
    std::printf("%-28s %7.0f KiB %7.0f KiB %8.2f %8s  %s\n", "resident memory, settled", rk, tk, tk / rk, "<= 1.3",
                tk <= 1.3 * rk ? "ok" : "MISSED");
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    th::TestWorld world;
    Display* x = XOpenDisplay(world.x.display().c_str());
    if (!x) {
        std::fprintf(stderr, "cannot open display %s\n", world.x.display().c_str());
        return 1;
    }
    XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
    compare(x, world, runs, "nothing cached");
    write_caches(world);
    compare(x, world, runs, "2000 contacts and 1000 calls cached");
    XCloseDisplay(x);
    std::printf("(a shared machine: other work slows both sides alike; the ratio is the figure)\n");
    return 0;
}
