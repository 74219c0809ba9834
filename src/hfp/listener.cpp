#include "hfp/listener.h"

#include "hfp/pending_dial.h"
#include "base/events.h"
#include "base/changes.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/device.h"
#include "connection/profile.h"
#include "connection/state.h"
#include "hfp/call_state.h"
#include "hfp/dial.h"
#include "hfp/hfp.h"
#include "hfp/link.h"

#include <memory>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<int> incoming_call_running{0};
GThread* incoming_call_thread = nullptr;

namespace {

constexpr gint64 kStableConnectionUs = 10 * G_USEC_PER_SEC;

std::atomic<int> listener_finished{1};
std::atomic<int> consecutive_losses{0};
// Main loop only: a ConnectProfile of ours is under way.
bool link_requested = false;
// A connect BlueZ reported under way (bluetoothd's own, the phone's) that
// brought no link by then is asked for again.
constexpr guint kUnderWayCheckMs = 10000;

struct ListenerStart {
    unsigned generation;
    PhoneRef phone;
    int fd;
};

void start_listener_thread(int fd)
{
    incoming_call_running = 1;
    listener_finished = 0;
    hfp_listen_socket = fd;
    incoming_call_thread = g_thread_new("incoming-call", incoming_call_listener,
                                        new ListenerStart{hfp_link_generation(), this_phone(), fd});
}

void schedule_restart(gint64 connected_for_us)
{
    if (connected_for_us >= kStableConnectionUs)
        consecutive_losses = 0;
    int delay_ms = listener_restart_delay_ms(consecutive_losses.fetch_add(1));
    if (delay_ms == 0) {
        post_event(HandsFreeLinkLost{});
        return;
    }
    log_msgf("ℹ️ Listener restart in %d s", delay_ms / 1000);
    g_timeout_add(static_cast<guint>(delay_ms), restart_incoming_listener_cb, nullptr);
}

// An attempt that never reached a working link ends here. A phone busy with
// another link, or slow to offer the service, is tried again: without the
// link no incoming call would show and no dial could go out.
gpointer give_up_attempt()
{
    bool again = incoming_call_running.load() != 0;
    listener_finished = 1;
    if (again)
        schedule_restart(0);
    return nullptr;
}

gboolean link_check_cb(gpointer);

// Whether a listener thread runs; one that has ended is joined.
bool listener_running()
{
    if (incoming_call_thread && listener_finished.load()) {
        g_thread_join(incoming_call_thread);
        incoming_call_thread = nullptr;
    }
    return incoming_call_thread != nullptr;
}

// The link comes from BlueZ, whoever opens it: we ask BlueZ to open it and
// it arrives through Profile1.NewConnection (hfp_adopt_link).
void request_link()
{
    // Until we hold the role, a connect would hand the link to whoever does;
    // the registration asks again once it is through.
    if (link_requested || listener_running() || device_path[0] == '\0' || !profile_registered())
        return;
    link_requested = true;
    log_msg("📞 Incoming call listener started");
    profile_connect(device_path, [](ProfileConnect result, const std::string& message) {
        link_requested = false;
        bool failed = result != ProfileConnect::CONNECTED && result != ProfileConnect::UNDER_WAY;
        if (failed)
            log_msgf("⚠️ Listener connection error: %s", message.c_str());
        if (current_state.load() != CONNECTED || listener_running())
            return;
        if (failed)
            schedule_restart(0);
        else
            g_timeout_add(kUnderWayCheckMs, link_check_cb, nullptr);
    });
}

gboolean link_check_cb(gpointer)
{
    if (current_state.load() == CONNECTED && !listener_running())
        request_link();
    return G_SOURCE_REMOVE;
}

// Stops a listener thread (its link shut down) and joins it.
void stop_listener_thread()
{
    incoming_call_running = 0;
    int old = hfp_listen_socket.exchange(-1);
    if (old >= 0)
        shutdown(old, SHUT_RDWR);
    if (incoming_call_thread) {
        g_thread_join(incoming_call_thread);
        incoming_call_thread = nullptr;
    }
}

}  // namespace

int listener_restart_delay_ms(int consecutive)
{
    if (consecutive <= 0)
        return 0;
    int seconds = 1;
    for (int i = 1; i < consecutive && seconds < 30; ++i)
        seconds *= 2;
    return (seconds > 30 ? 30 : seconds) * 1000;
}

void start_incoming_listener()
{
    ASSERT_MAIN_THREAD();
    consecutive_losses = 0;
    if (device_addr[0] != '\0')
        request_link();
}

void hfp_adopt_link(int fd)
{
    ASSERT_MAIN_THREAD();
    // A new link replaces the old one: the phone came back before we saw it go.
    if (incoming_call_thread)
        stop_listener_thread();
    if (!link_requested)
        log_msg("📞 Incoming call listener started");
    start_listener_thread(fd);
}

void hfp_release_link()
{
    ASSERT_MAIN_THREAD();
    incoming_call_running = 0;
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
        schedule_restart(ready_at == 0 ? 0 : g_get_monotonic_time() - ready_at);
    return nullptr;
}

gboolean restart_incoming_listener_cb(gpointer)
{
    ASSERT_MAIN_THREAD();
    if (current_state.load() != CONNECTED)
        return G_SOURCE_REMOVE;
    if (incoming_call_thread) {
        if (!listener_finished.load())
            return G_SOURCE_REMOVE;   // a listener runs
        g_thread_join(incoming_call_thread);
        incoming_call_thread = nullptr;
    }
    log_msg("🔁 Restarting listener");
    if (device_addr[0] != '\0')
        request_link();
    return G_SOURCE_REMOVE;
}

// The number waiting for the link is dialled once the link can carry it.
void apply_hands_free_link_ready(const HandsFreeLinkReady&)
{
    state_changed(Change::Header);
    if (current_state.load() != CONNECTED || !hands_free_link_ready())
        return;
    std::string pending = pending_dial_take();
    if (!pending.empty()) {
        log_msgf("📞 Auto-dialing: %s", pending.c_str());
        dial_number(pending.c_str());
    }
}

void apply_hands_free_link_lost(const HandsFreeLinkLost&) { restart_incoming_listener_cb(nullptr); }

bool listener_link_ready() { return hfp_link_ready(); }

bool hands_free_link_ready() { return hfp_link_ready(); }
