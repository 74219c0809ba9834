#include "connection/state.h"

#include "connection/system_bus.h"
#include "base/log.h"
#include "core/text.h"
#include "base/main_thread.h"
#include "audio/sco_listen.h"
#include "connection/device.h"
#include "connection/profile.h"
#include "connection/reconnect.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "phonedata/phonebook.h"
#include "store/phone_data.h"
#include "phonedata/recents.h"
#include "base/changes.h"

std::atomic<int> current_state{IDLE};
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
    if (!phonebook_loaded.load() && !syncing_contacts.load())
        log_msg("📥 Loading data in background…");
    start_phonebook_preload();
}

void update_ui()
{
    ASSERT_MAIN_THREAD();
    state_changed(Change::Header);
}

gboolean update_ui_cb(gpointer)
{
    update_ui();
    return G_SOURCE_REMOVE;
}
