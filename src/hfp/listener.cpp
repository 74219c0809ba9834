#include "hfp/listener.h"

#include "app/app.h"
#include "app/log.h"
#include "app/main_thread.h"
#include "connection/device.h"
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

struct ListenerStart {
    unsigned generation;
    PhoneRef phone;
};

void start_listener_thread()
{
    incoming_call_running = 1;
    listener_finished = 0;
    incoming_call_thread = g_thread_new("incoming-call", incoming_call_listener,
                                        new ListenerStart{hfp_link_generation(), this_phone()});
}

void schedule_restart(gint64 connected_for_us)
{
    if (connected_for_us >= kStableConnectionUs)
        consecutive_losses = 0;
    int delay_ms = listener_restart_delay_ms(consecutive_losses.fetch_add(1));
    if (delay_ms == 0) {
        g_idle_add(restart_incoming_listener_cb, nullptr);
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

// The number waiting for the link is dialled once the link can carry it.
gboolean link_ready_cb(gpointer)
{
    update_ui();
    if (current_state.load() != CONNECTED || !hands_free_link_ready())
        return G_SOURCE_REMOVE;
    std::string pending = pending_dial_take();
    if (!pending.empty()) {
        log_msgf("📞 Auto-dialing: %s", pending.c_str());
        dial_number(pending.c_str());
    }
    return G_SOURCE_REMOVE;
}

// Opens the RFCOMM link to the phone's gateway service: the channel from
// its SDP record (looked up while unknown), then the connect. Published in
// hfp_listen_socket before the connect, so a disconnect can abort it.
int open_link()
{
    if (hfp_channel.load() == 0)
        hfp_lookup_channel();
    if (hfp_channel.load() == 0) {
        log_msg("⚠️ No hands-free service found on the phone");
        return -1;
    }
    bool socket_failed = false;
    int fd = hfp_rfcomm_open(&socket_failed, &hfp_listen_socket);
    if (fd < 0) {
        // Refused outright: the phone may have moved its service to another channel.
        if (!socket_failed && errno == ECONNREFUSED)
            hfp_channel = 0;
        log_msg(socket_failed ? "⚠️ Listener socket error" : "⚠️ Listener connection error");
    }
    return fd;
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
    if (incoming_call_thread == nullptr && device_addr[0] != '\0')
        start_listener_thread();
}

gpointer incoming_call_listener(gpointer data)
{
    std::unique_ptr<ListenerStart> start(static_cast<ListenerStart*>(data));
    unsigned generation = start ? start->generation : hfp_link_generation();
    if (start)
        adopt_phone(start->phone);
    log_msg("📞 Incoming call listener started");
    int fd = open_link();
    if (fd < 0)
        return give_up_attempt();

    std::atomic<int> handshake{0};   // 1 done, -1 failed
    std::shared_ptr<AtConversation> link =
        hfp_link_start(fd, generation, [&handshake](bool ok) { handshake = ok ? 1 : -1; });
    gint64 ready_at = 0;
    while (incoming_call_running.load() && !link->wait_closed(200)) {
        if (handshake.load() == 1 && ready_at == 0) {
            ready_at = g_get_monotonic_time();
            log_msg("✓ Incoming call listener ready");
            g_idle_add(link_ready_cb, nullptr);
        } else if (handshake.load() == -1) {
            break;
        }
    }
    bool lost = incoming_call_running.load() != 0;
    if (lost && ready_at == 0 && handshake.load() == -1 && !link->closed()) {
        // A phone that does not complete the handshake is no hands-free
        // gateway we can use on that channel: ask its SDP server again.
        log_msg("⚠️ Handshake failed; the call link is not ready");
        hfp_channel = 0;
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
    g_idle_add(update_ui_cb, nullptr);
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
        start_listener_thread();
    return G_SOURCE_REMOVE;
}

bool listener_link_ready() { return hfp_link_ready(); }

bool hands_free_link_ready() { return hfp_link_ready(); }
