#include "base/workers.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Worker {
    GThreadFunc body;
    gpointer data;
    std::atomic<bool> done{false};
    GThread* thread = nullptr;
};

// Guarded by workers_mutex: any thread starts (and reaps) workers; the main thread joins the rest at exit.
std::mutex workers_mutex;
std::vector<std::shared_ptr<Worker>> workers;

gpointer run_worker(gpointer raw)
{
    auto* worker = static_cast<Worker*>(raw);
    gpointer result = worker->body(worker->data);
    worker->done = true;
    return result;
}

// Joins the workers that have finished, so their stacks go; workers_mutex held.
void reap_finished()
{
    for (auto it = workers.begin(); it != workers.end();) {
        if ((*it)->done.load()) {
            g_thread_join((*it)->thread);
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

bool start_worker(const char* name, GThreadFunc body, gpointer data, GError** error)
{
    auto worker = std::make_shared<Worker>();
    worker->body = body;
    worker->data = data;
    std::lock_guard<std::mutex> lock(workers_mutex);
    reap_finished();
    // Without an error to fill, a thread that cannot start aborts, as g_thread_new does.
    worker->thread = error ? g_thread_try_new(name, run_worker, worker.get(), error)
                           : g_thread_new(name, run_worker, worker.get());
    if (!worker->thread)
        return false;
    workers.push_back(std::move(worker));
    return true;
}

void join_workers()
{
    std::vector<std::shared_ptr<Worker>> all;
    {
        std::lock_guard<std::mutex> lock(workers_mutex);
        all.swap(workers);
    }
    for (const auto& worker : all)
        g_thread_join(worker->thread);
}
