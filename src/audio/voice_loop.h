// The voice thread's event loop for libpulse. libpulse's own loop writes a
// byte into a wake-up pipe each time work is deferred (every message for
// the server is) and reads the pipe back on every pass: system calls a
// loop that no other thread ever wakes does not need. One thread only.
#pragma once
#include <poll.h>
#include <pulse/mainloop-api.h>

#include <memory>
#include <vector>

class VoiceLoop {
public:
    VoiceLoop();
    ~VoiceLoop();   // the events' destroy callbacks run here
    VoiceLoop(const VoiceLoop&) = delete;
    VoiceLoop& operator=(const VoiceLoop&) = delete;

    pa_mainloop_api* api() { return &api_; }

    // Deferred work first; then waits up to timeout_ms (0: not at all) for
    // the descriptors, unless something is deferred, and handles them and
    // the timers due. What they defer waits for the next pass. How many
    // events ran; below 0 once poll has failed.
    int run_once(int timeout_ms);
    // The same without the deferred work: what the descriptors bring and
    // the timers due; what they defer waits.
    int poll_once(int timeout_ms);
    // Only the deferred work, such as messages queued for the server.
    int run_deferred();

private:
    friend struct VoiceLoopCalls;
    int dispatch_io(int timeout_ms);
    int dispatch_timers();
    void sweep();
    int next_timer_ms() const;

    pa_mainloop_api api_{};
    std::vector<std::unique_ptr<pa_io_event>> io_;
    std::vector<std::unique_ptr<pa_time_event>> timers_;
    std::vector<std::unique_ptr<pa_defer_event>> deferred_;
    std::vector<pollfd> fds_;             // kept between passes: no allocation a tick
    std::vector<pa_io_event*> polled_;   // whose each of fds_ is
    bool dead_ = false;   // some event was freed and waits to be swept
};
