#include "store/call_display.h"

#include "audio/sco.h"
#include "base/changes.h"
#include "base/main_thread.h"
#include "core/text.h"
#include "hfp/call_state.h"

#include <cstring>
#include <map>
#include <string>
#include <utility>

std::atomic<int> current_call_state{CALL_IDLE};
char current_call_number[64] = "";
char current_call_name[128] = "";
CallView current_call_view;
CallParty waiting_call_party;
CallParty held_call_party;

namespace {

// Main loop only, both: cases of apply and set_call_state.
// Whether the window was told the call rings.
bool call_ringing = false;
std::map<std::string, int> indicators;

void stop_ringing()
{
    if (std::exchange(call_ringing, false))
        state_changed(Change::Ringing, 0);
}

}  // namespace

int phone_indicator(const char* name)
{
    auto it = indicators.find(name ? name : "");
    return it == indicators.end() ? -1 : it->second;
}

void set_call_state(CallState state)
{
    ASSERT_MAIN_THREAD();
    if (current_call_state.load() == state)
        return;
    current_call_state = state;
    stop_ringing();
    if (state == CALL_IDLE) {
        sco_sound_on_phone = 0;
        current_call_view = CallView{};
        waiting_call_party = held_call_party = CallParty{};
        voice_link_sync(false);
    }
    state_changed(Change::Call);
}

namespace {

void apply_latest_view()
{
    CallModel model = call_model_snapshot();
    CallView view = model.view();
    if (view.state == CALL_IDLE) {
        std::memset(current_call_number, 0, sizeof current_call_number);
        std::memset(current_call_name, 0, sizeof current_call_name);
        if (current_call_state.load() != CALL_IDLE)
            set_call_state(CALL_IDLE);
        current_call_view = view;
        waiting_call_party = held_call_party = CallParty{};
        voice_link_sync(false);
        state_changed(Change::Call);
        state_changed(Change::Header);
        return;
    }
    copy_text(current_call_number, model.party().number.c_str());
    copy_text(current_call_name, model.party().name.c_str());
    waiting_call_party = view.waiting ? model.waiting_party() : CallParty{};
    held_call_party = view.held && !view.held_only ? model.held_party() : CallParty{};
    current_call_view = view;
    if (view.state == CALL_INCOMING && view.action == ACTION_NONE) {
        if (current_call_state.load() != CALL_INCOMING || !call_ringing) {
            current_call_state = CALL_INCOMING;
            call_ringing = true;
            state_changed(Change::Ringing, 1);
        }
    } else {
        current_call_state = view.state;
        stop_ringing();
    }
    if (!view.voice)
        voice_link_sync(false);
    state_changed(Change::Call);
    state_changed(Change::Header);
}

}  // namespace

void apply_call_model_changed(const CallModelChanged& event)
{
    if (call_change_is_latest(event.generation, event.ticket))
        apply_latest_view();
}

void apply_indicator_changed(const IndicatorChanged& event)
{
    if (event.generation == hfp_link_generation()) {
        indicators[event.name] = event.value;
        state_changed(Change::PhoneStatus);
    }
}

gboolean hfp_update_call_state_cb(gpointer data)
{
    ASSERT_MAIN_THREAD();
    // The phone says there is no call: believe it over anything seen before.
    if (GPOINTER_TO_INT(data) == CALL_IDLE)
        call_model_forget();
    apply_latest_view();
    return G_SOURCE_REMOVE;
}


// The phone is gone: its calls and indicators with it. Changes the old link
// queued before it went were dropped by their generation.
void apply_call_link_closed(const CallLinkClosed&)
{
    indicators.clear();
    state_changed(Change::PhoneStatus);
    std::memset(current_call_number, 0, sizeof current_call_number);
    std::memset(current_call_name, 0, sizeof current_call_name);
    set_call_state(CALL_IDLE);
}

void reset_call_display()
{
    current_call_state = CALL_IDLE;
    current_call_number[0] = current_call_name[0] = '\0';
    current_call_view = CallView{};
    waiting_call_party = held_call_party = CallParty{};
    call_ringing = false;
    indicators.clear();
}
