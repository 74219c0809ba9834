#include "hfp/listener.h"

#include "base/events.h"
#include "base/changes.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "base/phone.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "hfp/link.h"
#include "audio/sco.h"
#include "base/workers.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<int> incoming_call_running{0};
GThread* incoming_call_thread = nullptr;

namespace {

std::atomic<int> listener_finished{1};      // 0 on the main loop at start, 1 by "incoming-call" as it ends
std::atomic<bool> phone_connected{false};   // main loop only (set_state); any thread reads it

struct ListenerStart {
    unsigned generation;
    PhoneRef phone;
    int fd;
};

// Teardowns of the links still under way: counted up on the main loop,
// down by their "link-teardown" workers.
std::mutex teardown_mutex;
std::condition_variable teardown_done;
int teardowns = 0;   // guarded by teardown_mutex

struct Teardown {
    GThread* listener;
    bool voice;
};

gpointer link_teardown_thread(gpointer data)
{
    std::unique_ptr<Teardown> job(static_cast<Teardown*>(data));
    if (job->listener)
        g_thread_join(job->listener);
    if (job->voice)
        g_usleep(100 * 1000);   // the pumps see the link gone
    log_msg("✓ HFP connection closed");
    stop_sco_audio(nullptr);
    std::lock_guard<std::mutex> lock(teardown_mutex);
    --teardowns;
    teardown_done.notify_all();
    return nullptr;
}

void start_listener_thread(int fd)
{
    // Only when a link comes back at once: the last listener may still be on
    // its way out, and the two share the globals above.
    {
        std::unique_lock<std::mutex> lock(teardown_mutex);
        teardown_done.wait(lock, [] { return teardowns == 0; });
    }
    incoming_call_running = 1;
    listener_finished = 0;
    hfp_listen_socket = fd;
    incoming_call_thread = g_thread_new("incoming-call", incoming_call_listener,
                                        new ListenerStart{hfp_link_generation(), this_phone(), fd});
}

// An attempt that never reached a working link ends here. A phone busy with
// another link, or slow to offer the service, is tried again: without the
// link no incoming call would show and no dial could go out.
gpointer give_up_attempt()
{
    bool again = incoming_call_running.load() != 0;
    listener_finished = 1;
    if (again)
        post_event(HandsFreeLinkLost{0});
    return nullptr;
}

}  // namespace

bool listener_running()
{
    if (incoming_call_thread && listener_finished.load()) {
        g_thread_join(incoming_call_thread);
        incoming_call_thread = nullptr;
    }
    return incoming_call_thread != nullptr;
}

void hfp_adopt_link(int fd, bool asked_for)
{
    ASSERT_MAIN_THREAD();
    // A new link replaces the old one: the phone came back before we saw it go.
    if (incoming_call_thread)
        hfp_stop_listener();
    if (!asked_for)
        log_msg("📞 Incoming call listener started");
    start_listener_thread(fd);
}

void hfp_release_link()
{
    ASSERT_MAIN_THREAD();
    incoming_call_running = 0;
    // Wakes the listener out of its read. The listener closes its descriptor
    // itself: closed here, the number could be reused while it still uses it.
    int fd = hfp_listen_socket.exchange(-1);
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

gpointer incoming_call_listener(gpointer data)
{
    std::unique_ptr<ListenerStart> start(static_cast<ListenerStart*>(data));
    unsigned generation = start ? start->generation : hfp_link_generation();
    if (start)
        adopt_phone(start->phone);
    int fd = start ? start->fd : -1;
    if (fd < 0 || hfp_listen_socket.load() != fd) {
        // Taken back (a disconnect) before we began.
        if (fd >= 0)
            close(fd);
        return give_up_attempt();
    }

    std::atomic<int> handshake{0};   // 1 done, -1 failed
    std::shared_ptr<AtConversation> link =
        hfp_link_start(fd, generation, [&handshake](bool ok) { handshake = ok ? 1 : -1; });
    gint64 ready_at = 0;
    while (incoming_call_running.load() && !link->wait_closed(200)) {
        if (handshake.load() == 1 && ready_at == 0) {
            ready_at = g_get_monotonic_time();
            log_msg("✓ Incoming call listener ready");
            post_event(HandsFreeLinkReady{});
        } else if (handshake.load() == -1) {
            break;
        }
    }
    bool lost = incoming_call_running.load() != 0;
    if (lost && ready_at == 0 && handshake.load() == -1 && !link->closed()) {
        // A phone that does not complete the handshake gives us no link to
        // carry calls: it is closed and asked for again after the back-off.
        log_msg("⚠️ Handshake failed; the call link is not ready");
    } else if (lost && ready_at == 0) {
        log_msg("⚠️ Listener connection lost during the handshake");
    } else if (lost) {
        // The calls go on on the phone; the next handshake reads them back.
        log_msg("⚠️ Listener connection lost");
    }
    int own = fd;
    hfp_listen_socket.compare_exchange_strong(own, -1);
    link->stop();
    link.reset();   // closes the descriptor, now out of the global
    state_changed_later(Change::Header);
    incoming_call_running = 0;
    log_msg("📞 Incoming call listener stopped");
    listener_finished = 1;
    // Queued last: the restart joins this thread, which has nothing left to do.
    if (lost)
        post_event(HandsFreeLinkLost{ready_at == 0 ? 0 : g_get_monotonic_time() - ready_at});
    return nullptr;
}

void hfp_stop_listener()
{
    hfp_release_link();
    if (incoming_call_thread) {
        g_thread_join(incoming_call_thread);
        incoming_call_thread = nullptr;
    }
}

void hfp_end_links()
{
    hfp_release_link();
    GThread* listener = std::exchange(incoming_call_thread, nullptr);
    bool voice = hfp_close_voice();
    if (!listener && !voice) {
        hfp_close();
        stop_sco_audio(nullptr);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(teardown_mutex);
        ++teardowns;
    }
    start_worker("link-teardown", link_teardown_thread, new Teardown{listener, voice});
}

bool hands_free_link_ready() { return hfp_link_ready(); }

void hfp_set_phone_connected(bool connected) { phone_connected = connected; }

bool hfp_phone_connected() { return phone_connected.load(); }
