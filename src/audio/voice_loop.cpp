#include "audio/voice_loop.h"

#include <glib.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

// libpulse declares these and leaves them to each loop to define.
struct pa_io_event {
    VoiceLoop* loop;
    int fd;
    pa_io_event_flags_t events;
    pa_io_event_cb_t callback;
    void* userdata;
    pa_io_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct pa_time_event {
    VoiceLoop* loop;
    bool enabled;
    int64_t deadline_us;   // monotonic: a change of the wall clock leaves it be
    timeval wall;          // as given, handed back to the callback
    pa_time_event_cb_t callback;
    void* userdata;
    pa_time_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct pa_defer_event {
    VoiceLoop* loop;
    bool enabled;
    pa_defer_event_cb_t callback;
    void* userdata;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

namespace {

// Rounds of deferred work before the loop goes on to its descriptors: work
// that keeps deferring itself must not starve them.
constexpr int kDeferredRounds = 8;

// A loop that is not libpulse's own gets wall-clock times.
int64_t deadline_of(const timeval& wall)
{
    timeval now;
    gettimeofday(&now, nullptr);
    const int64_t ahead = (int64_t(wall.tv_sec) - now.tv_sec) * 1000000 + (wall.tv_usec - now.tv_usec);
    return g_get_monotonic_time() + ahead;
}

short to_poll(pa_io_event_flags_t f)
{
    return static_cast<short>((f & PA_IO_EVENT_INPUT ? POLLIN : 0) | (f & PA_IO_EVENT_OUTPUT ? POLLOUT : 0) |
                              (f & PA_IO_EVENT_ERROR ? POLLERR : 0) | (f & PA_IO_EVENT_HANGUP ? POLLHUP : 0));
}

pa_io_event_flags_t from_poll(short f)
{
    return static_cast<pa_io_event_flags_t>((f & POLLIN ? PA_IO_EVENT_INPUT : 0) |
                                            (f & POLLOUT ? PA_IO_EVENT_OUTPUT : 0) |
                                            (f & POLLERR ? PA_IO_EVENT_ERROR : 0) |
                                            (f & (POLLHUP | POLLNVAL) ? PA_IO_EVENT_HANGUP : 0));
}

// Each event's destroy callback, where it has one.
template <typename Events>
void destroy_each(pa_mainloop_api* api, Events& events)
{
    for (auto& e : events)
        if (e->destroy)
            e->destroy(api, e.get(), e->userdata);
}

}  // namespace

// The table libpulse calls through; each function finds its loop in the
// event or in the table's userdata.
struct VoiceLoopCalls {
    static VoiceLoop* of(pa_mainloop_api* a) { return static_cast<VoiceLoop*>(a->userdata); }

    static pa_io_event* io_new(pa_mainloop_api* a, int fd, pa_io_event_flags_t events, pa_io_event_cb_t cb, void* data)
    {
        auto* loop = of(a);
        loop->io_.push_back(std::make_unique<pa_io_event>(pa_io_event{loop, fd, events, cb, data}));
        return loop->io_.back().get();
    }
    static void io_enable(pa_io_event* e, pa_io_event_flags_t events) { e->events = events; }
    static void io_free(pa_io_event* e) { e->dead = e->loop->dead_ = true; }
    static void io_set_destroy(pa_io_event* e, pa_io_event_destroy_cb_t cb) { e->destroy = cb; }

    static pa_time_event* time_new(pa_mainloop_api* a, const timeval* tv, pa_time_event_cb_t cb, void* data)
    {
        auto* loop = of(a);
        loop->timers_.push_back(std::make_unique<pa_time_event>(pa_time_event{loop, false, 0, {}, cb, data}));
        pa_time_event* e = loop->timers_.back().get();
        time_restart(e, tv);
        return e;
    }
    static void time_restart(pa_time_event* e, const timeval* tv)
    {
        e->enabled = tv != nullptr;
        if (tv) {
            e->wall = *tv;
            e->deadline_us = deadline_of(*tv);
        }
    }
    static void time_free(pa_time_event* e) { e->dead = e->loop->dead_ = true; }
    static void time_set_destroy(pa_time_event* e, pa_time_event_destroy_cb_t cb) { e->destroy = cb; }

    static pa_defer_event* defer_new(pa_mainloop_api* a, pa_defer_event_cb_t cb, void* data)
    {
        auto* loop = of(a);
        loop->deferred_.push_back(std::make_unique<pa_defer_event>(pa_defer_event{loop, true, cb, data}));
        return loop->deferred_.back().get();
    }
    static void defer_enable(pa_defer_event* e, int b) { e->enabled = b != 0; }
    static void defer_free(pa_defer_event* e) { e->dead = e->loop->dead_ = true; }
    static void defer_set_destroy(pa_defer_event* e, pa_defer_event_destroy_cb_t cb) { e->destroy = cb; }

    // libpulse itself never asks its loop to quit; the thread ends the loop.
    static void quit(pa_mainloop_api*, int) {}
};

VoiceLoop::VoiceLoop()
{
    api_.userdata = this;
    api_.io_new = VoiceLoopCalls::io_new;
    api_.io_enable = VoiceLoopCalls::io_enable;
    api_.io_free = VoiceLoopCalls::io_free;
    api_.io_set_destroy = VoiceLoopCalls::io_set_destroy;
    api_.time_new = VoiceLoopCalls::time_new;
    api_.time_restart = VoiceLoopCalls::time_restart;
    api_.time_free = VoiceLoopCalls::time_free;
    api_.time_set_destroy = VoiceLoopCalls::time_set_destroy;
    api_.defer_new = VoiceLoopCalls::defer_new;
    api_.defer_enable = VoiceLoopCalls::defer_enable;
    api_.defer_free = VoiceLoopCalls::defer_free;
    api_.defer_set_destroy = VoiceLoopCalls::defer_set_destroy;
    api_.quit = VoiceLoopCalls::quit;
}

VoiceLoop::~VoiceLoop()
{
    destroy_each(&api_, io_);
    destroy_each(&api_, deferred_);
    destroy_each(&api_, timers_);
}

int VoiceLoop::run_deferred()
{
    int ran = 0;
    for (int round = 0; round < kDeferredRounds; ++round) {
        int this_round = 0;
        // By index: a callback may add events, which moves the vector.
        for (size_t i = 0; i < deferred_.size(); ++i) {
            pa_defer_event* e = deferred_[i].get();
            if (e->dead || !e->enabled)
                continue;
            e->callback(&api_, e, e->userdata);
            ++this_round;
        }
        ran += this_round;
        if (this_round == 0)
            break;
    }
    sweep();
    return ran;
}

int VoiceLoop::next_timer_ms() const
{
    int64_t soonest = -1;
    const int64_t now = g_get_monotonic_time();
    for (const auto& e : timers_)
        if (!e->dead && e->enabled) {
            int64_t wait = std::max<int64_t>(0, e->deadline_us - now);
            if (soonest < 0 || wait < soonest)
                soonest = wait;
        }
    return soonest < 0 ? -1 : static_cast<int>((soonest + 999) / 1000);
}

int VoiceLoop::dispatch_io(int timeout_ms)
{
    fds_.clear();
    polled_.clear();
    for (auto& e : io_)
        if (!e->dead) {
            fds_.push_back({e->fd, to_poll(e->events), 0});
            polled_.push_back(e.get());
        }
    timespec wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    int ready = ppoll(fds_.data(), fds_.size(), timeout_ms < 0 ? nullptr : &wait, nullptr);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    int ran = 0;
    for (size_t i = 0; i < fds_.size() && ready > 0; ++i) {
        if (!fds_[i].revents)
            continue;
        --ready;
        // An earlier callback may have let this one go.
        pa_io_event* e = polled_[i];
        if (e->dead)
            continue;
        e->callback(&api_, e, e->fd, from_poll(fds_[i].revents), e->userdata);
        ++ran;
    }
    return ran;
}

int VoiceLoop::dispatch_timers()
{
    int ran = 0;
    const int64_t now = g_get_monotonic_time();
    for (size_t i = 0; i < timers_.size(); ++i) {
        pa_time_event* e = timers_[i].get();
        if (e->dead || !e->enabled || e->deadline_us > now)
            continue;
        // Fired once; the callback restarts it if it wants more.
        e->enabled = false;
        const timeval wall = e->wall;
        e->callback(&api_, e, &wall, e->userdata);
        ++ran;
    }
    return ran;
}

int VoiceLoop::run_once(int timeout_ms)
{
    int ran = run_deferred();
    const bool pending = std::any_of(deferred_.begin(), deferred_.end(),
                                     [](const auto& e) { return !e->dead && e->enabled; });
    const int polled = poll_once(pending ? 0 : timeout_ms);
    return polled < 0 ? polled : ran + polled;
}

int VoiceLoop::poll_once(int timeout_ms)
{
    int wait = timeout_ms;
    const int timer = next_timer_ms();
    if (timer >= 0 && (wait < 0 || timer < wait))
        wait = timer;
    const int io = dispatch_io(wait);
    if (io < 0)
        return io;
    const int ran = io + dispatch_timers();
    sweep();
    return ran;
}

void VoiceLoop::sweep()
{
    if (!dead_)
        return;
    dead_ = false;
    // Taken out before their destroy callbacks run, which may add events.
    auto take_dead = [](auto& events) {
        std::remove_reference_t<decltype(events)> gone;
        for (auto& e : events)
            if (e->dead)
                gone.push_back(std::move(e));
        events.erase(std::remove(events.begin(), events.end(), nullptr), events.end());
        return gone;
    };
    auto io = take_dead(io_);
    auto timers = take_dead(timers_);
    auto deferred = take_dead(deferred_);
    destroy_each(&api_, io);
    destroy_each(&api_, timers);
    destroy_each(&api_, deferred);
}
