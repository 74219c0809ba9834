#include "audio/realtime.h"

#include <gio/gio.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kPriority = 1;
// RealtimeKit's default ceiling, which it requires the limit to be within;
// the sound servers use the same.
constexpr rlim_t kRealtimeCpuUs = 200000;
constexpr int kRealtimeKitTimeoutMs = 1000;

bool cap_realtime_cpu(std::string* why)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) < 0) {
        *why = std::string("its CPU limit could not be read: ") + strerror(errno);
        return false;
    }
    rlimit capped{};
    capped.rlim_max = limit.rlim_max == RLIM_INFINITY ? kRealtimeCpuUs : std::min(limit.rlim_max, kRealtimeCpuUs);
    capped.rlim_cur = limit.rlim_cur == RLIM_INFINITY ? capped.rlim_max : std::min(limit.rlim_cur, capped.rlim_max);
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
    if (!cap_realtime_cpu(why))
        return false;
    // Reset on fork: a child of this thread must not inherit a real-time
    // policy it never asked for (RealtimeKit sets the same).
    sched_param param{};
    param.sched_priority = kPriority;
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) == 0)
        return true;
    *why = std::string("not permitted to raise it (") + strerror(errno) + ")";
    return ask_realtime_kit(why);
}
