#include "store/apply.h"

#include "base/main_thread.h"
#include "store/connection_events.h"
#include "store/hands_free.h"
#include "hfp/call_state.h"
#include "hfp/codec_link.h"
#include "hfp/dial.h"
#include "store/call_display.h"
#include "store/phone_data.h"

namespace {

// One case per event type; an event without one does not compile.
template <class... F>
struct Cases : F... {
    using F::operator()...;
};
template <class... F>
Cases(F...) -> Cases<F...>;

}  // namespace

void apply(const Event& event)
{
    ASSERT_MAIN_THREAD();
    std::visit(Cases{
                   [](const ChangeNote& e) { state_changed(e.what, e.arg, e.text); },
                   [](const ContactsProgress& e) { apply_contacts_progress(e); },
                   [](const PhonebookRead& e) { apply_phonebook_read(e); },
                   [](const RecentsSyncStarted& e) { apply_recents_sync_started(e); },
                   [](const RecentsRead& e) { apply_recents_read(e); },
                   [](const CallModelChanged& e) { apply_call_model_changed(e); },
                   [](const IndicatorChanged& e) { apply_indicator_changed(e); },
                   [](const CallLinkClosed& e) { apply_call_link_closed(e); },
                   [](const VoiceCodecRefused&) { codec_link_fall_back(); },
                   [](const VoiceLinkWanted& e) { apply_voice_link_wanted(e); },
                   [](const DialRefused& e) { apply_dial_refused(e); },
                   [](const HandsFreeLinkReady& e) { apply_hands_free_link_ready(e); },
                   [](const HandsFreeLinkLost& e) { apply_hands_free_link_lost(e); },
                   [](const PhoneConnected& e) { apply_phone_connected(e); },
                   [](const PhonebookRefreshAsked&) { refresh_phonebook(); },
                   [](const RecentsSyncAsked&) { sync_recents(); },
                   [](const SearchTyped& e) { search_phonebook(e.text.c_str()); },
                   // The rest is the connection's news: BlueZ, the agent, the buttons.
                   [](const auto& e) { apply_connection_event(e); },
               },
               event);
}

void install_store() { set_event_sink(apply); }
