#include "hfp/listener.h"

#include "app/app.h"
#include "app/log.h"
#include "app/main_thread.h"
#include "connection/device.h"
#include "connection/profile.h"
#include "connection/state.h"
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/dial.h"
#include "hfp/hfp.h"
#include "hfp/phone_lines.h"

#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<int> incoming_call_running{0};
GThread* incoming_call_thread = nullptr;
std::atomic<int> hfp_listen_paused{0};
std::atomic<int> hfp_listen_paused_ack{0};

namespace {

constexpr gint64 kStableConnectionUs = 10 * G_USEC_PER_SEC;
constexpr gint64 kPauseAckTimeoutUs = 10 * G_USEC_PER_SEC;

std::atomic<int> listener_ready{0};
std::atomic<int> listener_finished{1};
std::atomic<GThread*> listener_self{nullptr};
std::atomic<int> consecutive_losses{0};
// Main loop only: a ConnectProfile of ours is under way.
bool link_requested = false;
// A connect BlueZ reported under way (bluetoothd's own, the phone's) that
// brought no link by then is asked for again.
constexpr guint kUnderWayCheckMs = 10000;

std::mutex channel_mutex;
std::shared_ptr<AtChannel> listener_channel;   // guarded by channel_mutex

void publish_channel(std::shared_ptr<AtChannel> channel)
{
    std::lock_guard<std::mutex> lock(channel_mutex);
    listener_channel = std::move(channel);
}

std::shared_ptr<AtChannel> published_channel()
{
    std::lock_guard<std::mutex> lock(channel_mutex);
    return listener_channel;
}

// The listener's descriptor is closed by the listener alone; a disconnect
// only takes it out of the global and shuts it down.
void close_listen_socket(int fd)
{
    if (fd < 0)
        return;
    int own = fd;
    hfp_listen_socket.compare_exchange_strong(own, -1);
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

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
        g_idle_add(restart_incoming_listener_cb, nullptr);
        return;
    }
    log_msgf("ℹ️ Listener restart in %d s", delay_ms / 1000);
    g_timeout_add(static_cast<guint>(delay_ms), restart_incoming_listener_cb, nullptr);
}

// An attempt that never reached a working link ends here. A phone busy with
// another link, or slow to offer the service, is tried again: without the
// listener no incoming call would show.
gpointer give_up_attempt()
{
    bool again = incoming_call_running.load() != 0;
    listener_self = nullptr;
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
    listener_self = g_thread_self();
    int fd = start ? start->fd : -1;
    if (fd < 0 || hfp_listen_socket.load() != fd) {
        // Taken back (a disconnect) before we began.
        if (fd >= 0)
            close(fd);
        return give_up_attempt();
    }
    auto channel = std::make_shared<AtChannel>(fd);
    PhoneStatus status;
    if (!hfp_listener_handshake(*channel, &status)) {
        // Dropped part-way: nothing is announced on this link, and a number
        // waiting for the phone stays for the next one.
        log_msg("⚠️ Listener connection lost during the handshake");
        close_listen_socket(fd);
        return give_up_attempt();
    }
    // Whatever the phone has going on now is the truth, also after a re-handshake.
    call_status_from_phone(generation, status.values);
    publish_channel(channel);
    gint64 ready_at = g_get_monotonic_time();
    log_msg("✓ Incoming call listener ready");
    listener_ready = 1;
    g_idle_add(update_ui_cb, nullptr);

    // Taken only after the link is announced ready: a hand-over racing with
    // us either sees the link ready and dials itself, or leaves the number
    // for this take. Either way it is dialled once.
    if (incoming_call_running.load()) {
        std::string pending = pending_dial_take();
        if (!pending.empty()) {
            log_msgf("📞 Auto-dialing: %s", pending.c_str());
            g_usleep(500 * 1000);
            dial_number(pending.c_str());
        }
    }

    bool lost = false;
    while (incoming_call_running.load()) {
        if (hfp_listen_socket.load() != fd)
            break;
        hfp_listen_paused_ack = 0;
        if (hfp_listen_paused.load()) {
            hfp_listen_paused_ack = 1;
            g_usleep(10 * 1000);
            continue;
        }
        std::vector<std::string> left = channel->take_unsolicited();
        if (!left.empty())
            handle_phone_lines(left, generation);
        bool io_error = false;
        std::vector<std::string> lines = channel->read_lines(1000, &io_error);
        if (!incoming_call_running.load())
            break;
        if (io_error) {
            // The calls go on on the phone; the next handshake reads them back.
            log_msg("⚠️ Listener connection lost");
            lost = true;
            break;
        }
        if (!lines.empty())
            handle_phone_lines(lines, generation);
    }

    listener_ready = 0;
    g_idle_add(update_ui_cb, nullptr);
    publish_channel(nullptr);
    close_listen_socket(fd);
    incoming_call_running = 0;
    log_msg("📞 Incoming call listener stopped");
    listener_self = nullptr;
    listener_finished = 1;
    // Queued last: the restart joins this thread, which has nothing left to do.
    if (lost)
        schedule_restart(g_get_monotonic_time() - ready_at);
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

bool listener_link_ready()
{
    return listener_ready.load() != 0;
}

bool hands_free_link_ready()
{
    return listener_ready.load() != 0 || hfp_socket.load() >= 0;
}

std::shared_ptr<AtChannel> listener_pause()
{
    hfp_listen_paused = 1;
    if (g_thread_self() == listener_self.load())
        return published_channel();   // the listener itself: it is not in its read
    gint64 deadline = g_get_monotonic_time() + kPauseAckTimeoutUs;
    while (hfp_listen_paused_ack.load() == 0) {
        if (hfp_listen_socket.load() < 0 || !listener_ready.load() || g_get_monotonic_time() > deadline) {
            hfp_listen_paused = 0;
            return nullptr;
        }
        g_usleep(5 * 1000);
    }
    return published_channel();
}

void listener_resume()
{
    hfp_listen_paused = 0;
}
