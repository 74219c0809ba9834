#include "store/hands_free.h"

#include "base/changes.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "store/phone_record.h"
#include "connection/profile.h"
#include "store/connection_state.h"
#include "hfp/dial.h"
#include "hfp/listener.h"
#include "hfp/pending_dial.h"

#include <string>

namespace {

constexpr gint64 kStableConnectionUs = 10 * G_USEC_PER_SEC;
// A connect BlueZ reported under way (bluetoothd's own, the phone's) that
// brought no link by then is asked for again.
constexpr guint kUnderWayCheckMs = 10000;

int consecutive_losses = 0;     // main loop only
bool link_requested = false;    // main loop only: a ConnectProfile of ours is under way

void schedule_restart(gint64 connected_for_us)
{
    if (connected_for_us >= kStableConnectionUs)
        consecutive_losses = 0;
    int delay_ms = listener_restart_delay_ms(consecutive_losses++);
    if (delay_ms == 0) {
        restart_incoming_listener_cb(nullptr);
        return;
    }
    log_msgf("ℹ️ Listener restart in %d s", delay_ms / 1000);
    g_timeout_add(static_cast<guint>(delay_ms), restart_incoming_listener_cb, nullptr);
}

gboolean link_check_cb(gpointer);

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

bool hands_free_link_requested() { return link_requested; }

gboolean restart_incoming_listener_cb(gpointer)
{
    ASSERT_MAIN_THREAD();
    if (current_state.load() != CONNECTED)
        return G_SOURCE_REMOVE;
    if (listener_running())
        return G_SOURCE_REMOVE;
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

void apply_hands_free_link_lost(const HandsFreeLinkLost& event) { schedule_restart(event.connected_for_us); }

void hands_free_reset()
{
    consecutive_losses = 0;
    link_requested = false;
}
