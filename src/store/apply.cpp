#include "store/apply.h"

#include "base/main_thread.h"
#include "connection/device.h"
#include "connection/hands_free.h"
#include "hfp/call_state.h"
#include "hfp/codec_link.h"
#include "hfp/dial.h"
#include "store/call_display.h"
#include "store/phone_data.h"

#include <type_traits>

namespace {

template <class>
inline constexpr bool kUnhandled = false;

}  // namespace

void apply(const Event& event)
{
    ASSERT_MAIN_THREAD();
    std::visit(
        [](const auto& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, ChangeNote>)
                state_changed(e.what, e.arg, e.text);
            else if constexpr (std::is_same_v<E, ContactsProgress>)
                apply_contacts_progress(e);
            else if constexpr (std::is_same_v<E, PhonebookRead>)
                apply_phonebook_read(e);
            else if constexpr (std::is_same_v<E, RecentsSyncStarted>)
                apply_recents_sync_started(e);
            else if constexpr (std::is_same_v<E, RecentsRead>)
                apply_recents_read(e);
            else if constexpr (std::is_same_v<E, CallModelChanged>)
                apply_call_model_changed(e);
            else if constexpr (std::is_same_v<E, IndicatorChanged>)
                apply_indicator_changed(e);
            else if constexpr (std::is_same_v<E, CallLinkClosed>)
                apply_call_link_closed(e);
            else if constexpr (std::is_same_v<E, VoiceCodecRefused>)
                codec_link_fall_back();
            else if constexpr (std::is_same_v<E, VoiceLinkWanted>)
                apply_voice_link_wanted(e);
            else if constexpr (std::is_same_v<E, DialRefused>)
                apply_dial_refused(e);
            else if constexpr (std::is_same_v<E, HandsFreeLinkReady>)
                apply_hands_free_link_ready(e);
            else if constexpr (std::is_same_v<E, HandsFreeLinkLost>)
                apply_hands_free_link_lost(e);
            else if constexpr (std::is_same_v<E, PhoneConnected>)
                apply_phone_connected(e);
            else if constexpr (std::is_same_v<E, AutoConnectDone>)
                apply_auto_connect_done(e);
            else
                static_assert(kUnhandled<E>, "an event without a case in apply");
        },
        event);
}

void install_store() { set_event_sink(apply); }
