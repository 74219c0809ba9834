#include "store/connection_state.h"

#include "base/log.h"
#include "base/main_thread.h"
#include "audio/sco_listen.h"
#include "store/phone_record.h"
#include "audio/sco.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "store/reconnect.h"
#include "store/hands_free.h"
#include "hfp/listener.h"
#include "base/changes.h"
#include "base/events.h"
#include "connection/adapter.h"
#include "connection/agent.h"
#include "connection/device.h"
#include "core/text.h"

std::atomic<int> current_state{IDLE};
char error_msg[256] = "";
std::atomic<int> auto_connect_in_progress{0};
const char* const state_names[7] = {"IDLE", "DISCOVERABLE", "PAIRING", "PAIRED", "CONNECTING", "CONNECTED", "ERROR"};

namespace {

// A phone that gives up pairing half way sends nothing more: PAIRING must
// not wait for the end of discoverability. Main loop only.
guint pairing_timer = 0;

gboolean pairing_timeout_cb(gpointer)
{
    pairing_timer = 0;
    log_msgf("⚠️ Pairing not completed within %u s", kPairingSeconds);
    set_state(resting_state());
    update_ui();
    return G_SOURCE_REMOVE;
}

void follow_pairing(int old_state, int new_state)
{
    if (old_state == PAIRING && pairing_timer) {
        g_source_remove(pairing_timer);
        pairing_timer = 0;
    }
    if (new_state == PAIRING)
        pairing_timer = g_timeout_add_seconds(kPairingSeconds, pairing_timeout_cb, nullptr);
}

}  // namespace

void set_state(AppState new_state)
{
    ASSERT_MAIN_THREAD();
    int old_state = current_state.load();
    if (new_state == old_state)
        return;
    log_msgf("State: %s -> %s", state_names[old_state], state_names[new_state]);
    current_state = new_state;
    hfp_set_phone_connected(new_state == CONNECTED);
    agent_open_pairing(pairing_state(new_state));
    follow_pairing(old_state, new_state);
    reconnect_state_changed(static_cast<AppState>(old_state), new_state);
    if (old_state == CONNECTED) {
        cleanup_connection(nullptr, false);
        return;
    }
    if (new_state != CONNECTED)
        return;
    sco_listen_set_phone(device_addr);
    if (device_addr[0] != '\0')
        start_incoming_listener();
    post_event(PhoneConnected{});
}

void update_ui()
{
    ASSERT_MAIN_THREAD();
    state_changed(Change::Header);
}

AppState resting_state()
{
    if (discoverable_session.load())
        return DISCOVERABLE;
    if (device_path[0] != '\0' && device_paired.load())
        return PAIRED;
    return IDLE;
}

void cleanup_connection(const char* message, bool forget_phone)
{
    ASSERT_MAIN_THREAD();
    if (message)
        log_msg(message);
    sco_listen_set_phone("");
    call_link_closed();
    hfp_end_links();
    if (forget_phone)
        forget_phone_record();
}

void get_device_info(const char* path)
{
    ASSERT_MAIN_THREAD();
    PhoneIdentity phone = read_phone(path);
    if (!phone.read)
        return;
    if (phone.addr)
        copy_text(device_addr, phone.addr->c_str());
    if (phone.name)
        copy_text(device_name, phone.name->c_str());
    if (phone.paired)
        device_paired = *phone.paired ? 1 : 0;
    if (path != device_path)
        copy_text(device_path, path);
}
