#include "base/events.h"

#include "base/main_thread.h"

#include <glib.h>

#include <deque>
#include <mutex>
#include <utility>

namespace {

std::mutex queue_mutex;
// Guarded by queue_mutex. Never destroyed: a thread that outlives main
// (a detached voice worker) may still post while the program exits.
std::deque<Event>& queue = *new std::deque<Event>;
bool drain_queued = false;      // guarded by queue_mutex: one idle source at a time
EventSink sink = nullptr;       // main thread only: set at start-up by the store

gboolean drain_cb(gpointer)
{
    std::deque<Event> batch;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        drain_queued = false;
        if (!sink)
            return G_SOURCE_REMOVE;   // set_event_sink drains them
        batch.swap(queue);
    }
    for (const Event& event : batch)
        sink(event);
    return G_SOURCE_REMOVE;
}

}  // namespace

void post_event(Event event)
{
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.push_back(std::move(event));
    if (!std::exchange(drain_queued, true))
        g_idle_add(drain_cb, nullptr);
}

void deliver_event(Event event)
{
    ASSERT_MAIN_THREAD();
    if (!sink) {
        post_event(std::move(event));
        return;
    }
    sink(event);
}

void discard_events()
{
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.clear();
}

void set_event_sink(EventSink s)
{
    sink = s;
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (sink && !queue.empty() && !std::exchange(drain_queued, true))
        g_idle_add(drain_cb, nullptr);
}
