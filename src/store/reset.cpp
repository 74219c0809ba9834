#include "store/reset.h"

#include "audio/call_volume.h"
#include "base/events.h"
#include "connection/adapter.h"
#include "connection/agent.h"
#include "store/phone_record.h"
#include "store/hands_free.h"
#include "connection/profile.h"
#include "store/reconnect.h"
#include "store/connection_state.h"
#include "connection/system_bus.h"
#include "core/text.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "hfp/indicator_map.h"
#include "hfp/listener.h"
#include "hfp/pending_dial.h"
#include "phonedata/obex.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "store/apply.h"
#include "store/call_display.h"
#include "store/phone_data.h"

#include <memory>

void reset_program_state()
{
    discard_events();
    install_store();
    current_state = IDLE;
    hfp_set_phone_connected(false);
    copy_text(adapter_path, "/org/bluez/hci0");
    forget_phone_record();
    auto_connect_in_progress = 0;
    discoverable_session = false;
    agent_open_pairing(false);
    forget_adapter_settings();
    error_msg[0] = '\0';
    pending_dial_take();
    dbus_conn = nullptr;

    if (g_main_context_acquire(nullptr)) {
        call_link_closed();
        discard_events();   // the closed link's, applied at once below
        reconnect_reset();
        g_main_context_release(nullptr);
    }
    profile_bluez_vanished();
    hfp_set_indicator_map(IndicatorMap{});
    reset_call_display();
    hands_free_reset();
    hfp_reply_timeout_ms = 3000;
    speaker_gain = microphone_gain = kMaxGain;

    obex_conn = nullptr;
    obex::transfer_stall_limit_ms = 30000;
    reset_phone_data();
}

