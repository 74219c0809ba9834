// Linked into every program of the ThreadSanitizer build, Telvane itself
// included; no other build has it.
//
// A worker thread hands results to the main loop with g_idle_add and
// g_timeout_add. GLib orders the adding thread's writes before the callback
// with its own futex-based locks, which ThreadSanitizer cannot see, so every
// hand-over would be reported as a race. These wrappers stand in for GLib's
// functions and tell ThreadSanitizer about that one ordering, per source:
// what the adding thread did before adding happens before the callback and
// the destroy notification. Nothing else is ordered, so a real race with the
// main loop is still reported.
#include <glib.h>

#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {

struct Handoff {
    GSourceFunc function;
    gpointer data;
    GDestroyNotify notify;
};

gboolean run_handoff(gpointer p)
{
    auto* h = static_cast<Handoff*>(p);
    __tsan_acquire(h);
    gboolean again = h->function(h->data);
    __tsan_release(h);
    return again;
}

void destroy_handoff(gpointer p)
{
    auto* h = static_cast<Handoff*>(p);
    __tsan_acquire(h);
    if (h->notify)
        h->notify(h->data);
    delete h;
}

using AddFull = guint (*)(gint, guint, GSourceFunc, gpointer, GDestroyNotify);
using IdleAddFull = guint (*)(gint, GSourceFunc, gpointer, GDestroyNotify);

template <typename F>
F glib_function(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

Handoff* hand_off(GSourceFunc function, gpointer data, GDestroyNotify notify)
{
    auto* h = new Handoff{function, data, notify};
    __tsan_release(h);
    return h;
}

}  // namespace

extern "C" {

guint g_idle_add_full(gint priority, GSourceFunc function, gpointer data, GDestroyNotify notify)
{
    static const auto next = glib_function<IdleAddFull>("g_idle_add_full");
    return next(priority, run_handoff, hand_off(function, data, notify), destroy_handoff);
}

guint g_idle_add(GSourceFunc function, gpointer data)
{
    return g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, function, data, nullptr);
}

guint g_timeout_add_full(gint priority, guint interval, GSourceFunc function, gpointer data, GDestroyNotify notify)
{
    static const auto next = glib_function<AddFull>("g_timeout_add_full");
    return next(priority, interval, run_handoff, hand_off(function, data, notify), destroy_handoff);
}

guint g_timeout_add(guint interval, GSourceFunc function, gpointer data)
{
    return g_timeout_add_full(G_PRIORITY_DEFAULT, interval, function, data, nullptr);
}

guint g_timeout_add_seconds_full(gint priority, guint interval, GSourceFunc function, gpointer data,
                                 GDestroyNotify notify)
{
    static const auto next = glib_function<AddFull>("g_timeout_add_seconds_full");
    return next(priority, interval, run_handoff, hand_off(function, data, notify), destroy_handoff);
}

guint g_timeout_add_seconds(guint interval, GSourceFunc function, gpointer data)
{
    return g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, interval, function, data, nullptr);
}

// Every program of this build reads the suppressions (only races inside
// system libraries; see the file) and exits with 66 after a report; the test
// harness fails a test whose telvane printed one. TSAN_OPTIONS still applies.
const char* __tsan_default_options()
{
    return "suppressions=" TELVANE_TSAN_SUPPRESSIONS ":second_deadlock_stack=1:exitcode=66";
}

}  // extern "C"
