// The voice thread's loop keeps the promises libpulse relies on from any
// loop it is given: deferred work, timers in wall-clock time, descriptors,
// and events freed from inside callbacks.
#include "audio/voice_loop.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Scene {
    std::optional<VoiceLoop> loop{std::in_place};
    std::string trace;   // one letter a callback: d deferred, t timer, i descriptor, x destroyed
    int pipes[2][2] = {{-1, -1}, {-1, -1}};
    pa_io_event* io[2] = {nullptr, nullptr};
    pa_defer_event* deferred = nullptr;
    pa_time_event* timer = nullptr;
    int timer_runs = 0;   // times the timer restarts itself

    Scene()
    {
        for (auto& p : pipes)
            EXPECT_EQ(pipe(p), 0);
    }
    ~Scene()
    {
        for (auto& p : pipes)
            close(p[0]), close(p[1]);
    }
    pa_mainloop_api* api() { return loop->api(); }
    void readable(int k) { ASSERT_EQ(write(pipes[k][1], "x", 1), 1); }
};

Scene* scene_of(void* data) { return static_cast<Scene*>(data); }
template <typename Event>
void destroyed(pa_mainloop_api*, Event*, void* data)
{
    scene_of(data)->trace += 'x';
}

timeval wall_in(int ms)
{
    timeval now;
    gettimeofday(&now, nullptr);
    int64_t us = int64_t(now.tv_sec) * 1000000 + now.tv_usec + int64_t(ms) * 1000;
    return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

void add_timer(Scene& s, int ms, int restarts)
{
    s.timer_runs = restarts;
    timeval when = wall_in(ms);
    s.timer = s.api()->time_new(
        s.api(), &when,
        [](pa_mainloop_api* a, pa_time_event* e, const timeval*, void* data) {
            Scene* s = scene_of(data);
            s->trace += 't';
            if (s->timer_runs-- > 0) {
                timeval again = wall_in(10);
                a->time_restart(e, &again);
            }
        },
        &s);
    s.api()->time_set_destroy(s.timer, destroyed<pa_time_event>);
}

void add_io(Scene& s, int k, pa_io_event_cb_t cb)
{
    s.io[k] = s.api()->io_new(s.api(), s.pipes[k][0], PA_IO_EVENT_INPUT, cb, &s);
    s.api()->io_set_destroy(s.io[k], destroyed<pa_io_event>);
}

void reading_io(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* data)
{
    char c;
    EXPECT_EQ(read(fd, &c, 1), 1);
    scene_of(data)->trace += 'i';
}

void add_deferred(Scene& s, bool stays_enabled)
{
    s.deferred = s.api()->defer_new(
        s.api(),
        stays_enabled ? static_cast<pa_defer_event_cb_t>([](pa_mainloop_api*, pa_defer_event*, void* data) {
            scene_of(data)->trace += 'd';
        })
                      : [](pa_mainloop_api* a, pa_defer_event* e, void* data) {
                            scene_of(data)->trace += 'd';
                            a->defer_enable(e, 0);
                        },
        &s);
    s.api()->defer_set_destroy(s.deferred, destroyed<pa_defer_event>);
}

}  // namespace

TEST(VoiceLoop, KeepsTheContractLibpulseReliesOn)
{
    struct Row {
        const char* name;
        std::function<void(Scene&)> setup;
        std::function<void(Scene&)> run;
        std::string trace;        // what ran, in order, before the loop went away
        int min_ms = 0, max_ms;   // how long the run took
    };
    const Row rows[] = {
        {"deferred work that turns itself off runs once, without waiting",
         [](Scene& s) { add_deferred(s, false); },
         [](Scene& s) {
             s.loop->run_once(0);
             s.loop->run_once(0);
         },
         "dx", 0, 500},
        {"deferred work left on does not keep a ready descriptor from its turn",
         [](Scene& s) {
             add_deferred(s, true);
             add_io(s, 0, reading_io);
             s.readable(0);
         },
         [](Scene& s) {
             s.loop->run_once(1000);
             s.api()->defer_free(s.deferred);
             s.trace.erase(std::remove(s.trace.begin(), s.trace.end(), 'd'), s.trace.end());
         },
         "ixx", 0, 500},
        {"a timer set in wall-clock time fires when due, once, and again when restarted",
         [](Scene& s) { add_timer(s, 60, 1); },
         [](Scene& s) {
             s.loop->run_once(0);   // not yet due: nothing
             for (int pass = 0; pass < 20 && s.trace.size() < 2; ++pass)
                 s.loop->run_once(100);
         },
         "ttx", 70, 500},
        {"a timer freed before it is due never fires; its destroy runs once",
         [](Scene& s) { add_timer(s, 20, 0); },
         [](Scene& s) {
             s.api()->time_free(s.timer);
             s.loop->run_once(100);
             s.loop->run_once(0);
         },
         "x", 100, 500},
        {"a descriptor let go by an earlier callback of the same pass is not called",
         [](Scene& s) {
             add_io(s, 0, [](pa_mainloop_api* a, pa_io_event*, int fd, pa_io_event_flags_t f, void* data) {
                 reading_io(a, nullptr, fd, f, data);
                 a->io_free(scene_of(data)->io[1]);
             });
             add_io(s, 1, reading_io);
             s.readable(0);
             s.readable(1);
         },
         [](Scene& s) { s.loop->run_once(1000); }, "ixx", 0, 500},
        {"a descriptor waited for wakes the loop at once",
         [](Scene& s) { add_io(s, 0, reading_io); },
         [](Scene& s) {
             std::thread later([&s] {
                 std::this_thread::sleep_for(std::chrono::milliseconds(50));
                 s.readable(0);
             });
             s.loop->run_once(5000);
             later.join();
         },
         "ix", 40, 1000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string trace;
        const auto start = Clock::now();
        {
            Scene s;
            row.setup(s);
            row.run(s);
            s.loop.reset();
            trace = s.trace;
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_EQ(trace, row.trace);
        EXPECT_GE(ms, row.min_ms);
        EXPECT_LE(ms, row.max_ms);
    }
}
