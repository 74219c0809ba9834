#include "base/child.h"

#include <gio/gio.h>

namespace {

struct Run {
    GSubprocess* process = nullptr;
    GCancellable* cancel = nullptr;
    GSource* timer = nullptr;
    std::function<void(const ChildResult&)> done;
    bool timed_out = false;
};

gboolean on_time_limit(gpointer data)
{
    auto* run = static_cast<Run*>(data);
    run->timed_out = true;
    g_subprocess_force_exit(run->process);
    g_cancellable_cancel(run->cancel);
    return G_SOURCE_REMOVE;
}

void on_finished(GObject* source, GAsyncResult* res, gpointer data)
{
    auto* run = static_cast<Run*>(data);
    gchar* out = nullptr;
    GError* error = nullptr;
    ChildResult result;
    if (g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), res, &out, nullptr, &error) &&
        !run->timed_out && g_subprocess_get_if_exited(run->process)) {
        result.ran = true;
        result.exit_status = g_subprocess_get_exit_status(run->process);
        result.out = out ? out : "";
    }
    g_clear_error(&error);
    g_free(out);
    g_source_destroy(run->timer);
    g_source_unref(run->timer);
    g_object_unref(run->cancel);
    g_object_unref(run->process);
    auto done = std::move(run->done);
    delete run;
    if (done)
        done(result);
}

// Starts argv on the thread-default main context; false when it cannot start.
bool start(const std::vector<std::string>& argv, int timeout_ms, std::function<void(const ChildResult&)> done)
{
    std::vector<const gchar*> args;
    for (const auto& a : argv)
        args.push_back(a.c_str());
    args.push_back(nullptr);
    GError* error = nullptr;
    // Left to close our descriptors itself (every socket, link or connection,
    // is opened close-on-exec), GLib starts the child with posix_spawn
    // instead of fork: a fork copies the whole program's page tables on the
    // calling thread, a stall of tens of milliseconds on the main loop.
    GSubprocess* process = g_subprocess_newv(args.data(),
                                             GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                              G_SUBPROCESS_FLAGS_STDERR_SILENCE |
                                                              G_SUBPROCESS_FLAGS_INHERIT_FDS),
                                             &error);
    if (!process) {
        g_clear_error(&error);
        return false;
    }
    auto* run = new Run{process, g_cancellable_new(), g_timeout_source_new(guint(timeout_ms)), std::move(done)};
    g_source_set_callback(run->timer, on_time_limit, run, nullptr);
    g_source_attach(run->timer, g_main_context_get_thread_default());
    g_subprocess_communicate_utf8_async(process, nullptr, run->cancel, on_finished, run);
    return true;
}

}  // namespace

void run_child_async(const std::vector<std::string>& argv, int timeout_ms,
                     std::function<void(const ChildResult&)> done)
{
    if (!start(argv, timeout_ms, done) && done)
        done(ChildResult{});
}

ChildResult run_child_sync(const std::vector<std::string>& argv, int timeout_ms)
{
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    ChildResult result;
    bool finished = false;
    if (start(argv, timeout_ms, [&](const ChildResult& r) {
            result = r;
            finished = true;
        })) {
        while (!finished)
            g_main_context_iteration(context, TRUE);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return result;
}
