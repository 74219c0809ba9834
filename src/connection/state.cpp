#include "connection/state.h"

#include "app/log.h"
#include "app/main_thread.h"
#include "connection/device.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "phonedata/phonebook.h"
#include "ui/window.h"

std::atomic<int> current_state{IDLE};
const char* const state_names[7] = {"IDLE", "DISCOVERABLE", "PAIRING", "PAIRED", "CONNECTING", "CONNECTED", "ERROR"};

void set_state(AppState new_state)
{
    ASSERT_MAIN_THREAD();
    int old_state = current_state.load();
    if (new_state == old_state)
        return;
    log_msgf("State: %s -> %s", state_names[old_state], state_names[new_state]);
    current_state = new_state;
    if (old_state == CONNECTED) {
        cleanup_connection(nullptr, false);
        return;
    }
    if (new_state != CONNECTED)
        return;
    if (hfp_channel.load() == 0 && device_addr[0] != '\0')
        hfp_lookup_channel();
    if (device_addr[0] != '\0')
        start_incoming_listener();
    start_phonebook_preload();
}

StatusView status_view_for(AppState, const char*, const char*, const char*, bool, bool)
{
    return StatusView{"", "", "", false, false, false, false, false, false};
}

void update_ui()
{
    ASSERT_MAIN_THREAD();
}

gboolean update_ui_cb(gpointer)
{
    update_ui();
    return G_SOURCE_REMOVE;
}
