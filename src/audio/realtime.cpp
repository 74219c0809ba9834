#include "audio/realtime.h"

#include <gio/gio.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kPriority = 1;
// RealtimeKit's default ceiling, which it requires the limit to be within;
// the sound servers use the same. At it the kernel kills the whole process.
constexpr rlim_t kRealtimeCpuUs = 200000;
// Here the kernel only warns (SIGXCPU), and the thread is lowered to normal
// priority: a voice thread that spun costs the call its priority, not the
// window.
constexpr rlim_t kRealtimeWarnUs = 100000;
constexpr int kRealtimeKitTimeoutMs = 1000;

std::atomic<pid_t> realtime_tid{0};
std::atomic<bool> lowered{false};

void lower_on_overrun(int)
{
    const int saved = errno;
    sched_param param{};
    const pid_t tid = realtime_tid.load();
    if (tid > 0 && sched_setscheduler(tid, SCHED_OTHER, &param) == 0)
        lowered.store(true);
    errno = saved;
}

bool watch_for_overrun(std::string* why)
{
    static const bool installed = [] {
        struct sigaction action{};
        action.sa_handler = lower_on_overrun;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        return sigaction(SIGXCPU, &action, nullptr) == 0;
    }();
    if (!installed)
        *why = std::string("its CPU warning could not be handled: ") + strerror(errno);
    return installed;
}

bool cap_realtime_cpu(std::string* why)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) < 0) {
        *why = std::string("its CPU limit could not be read: ") + strerror(errno);
        return false;
    }
    rlimit capped{};
    capped.rlim_max = limit.rlim_max == RLIM_INFINITY ? kRealtimeCpuUs : std::min(limit.rlim_max, kRealtimeCpuUs);
    capped.rlim_cur = std::min({limit.rlim_cur, kRealtimeWarnUs, capped.rlim_max});
    if (capped.rlim_cur == limit.rlim_cur && capped.rlim_max == limit.rlim_max)
        return true;
    if (setrlimit(RLIMIT_RTTIME, &capped) < 0) {
        *why = std::string("its CPU limit could not be set: ") + strerror(errno);
        return false;
    }
    return true;
}

bool ask_realtime_kit(std::string* why)
{
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    GVariant* reply = nullptr;
    if (bus) {
        reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1", "org.freedesktop.RealtimeKit1",
            "MakeThreadRealtime", g_variant_new("(tu)", static_cast<guint64>(gettid()), static_cast<guint32>(kPriority)),
            nullptr, G_DBUS_CALL_FLAGS_NONE, kRealtimeKitTimeoutMs, nullptr, &error);
        g_object_unref(bus);
    }
    if (reply) {
        g_variant_unref(reply);
        return true;
    }
    g_dbus_error_strip_remote_error(error);
    *why += std::string(", and RealtimeKit: ") + error->message;
    g_error_free(error);
    return false;
}

}  // namespace

bool make_thread_realtime(std::string* why)
{
    if (!watch_for_overrun(why) || !cap_realtime_cpu(why))
        return false;
    realtime_tid.store(gettid());
    // Reset on fork: a child of this thread must not inherit a real-time
    // policy it never asked for (RealtimeKit sets the same).
    sched_param param{};
    param.sched_priority = kPriority;
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0)
        return true;
    *why = std::string("not permitted to raise it (") + strerror(errno) + ")";
    return ask_realtime_kit(why);
}

// Asked once a tick: a plain read first, so the tick writes nothing shared.
bool realtime_was_lowered() { return lowered.load(std::memory_order_relaxed) && lowered.exchange(false); }
