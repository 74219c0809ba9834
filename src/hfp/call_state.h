// The one call-state machine and the phone's indicator events that feed it.
#pragma once
#include <glib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "base/events.h"
#include "core/call_model.h"
#include "hfp/indicator_map.h"

// What the window shows of the main call. Written on the main loop only
// (apply_latest_view, set_call_state); workers read the state (atomic), the
// number and name are read on the main loop only.
extern std::atomic<int> current_call_state;
extern char current_call_number[64];
extern char current_call_name[128];

void set_call_state(CallState state);              // main thread
gboolean hfp_update_call_state_cb(gpointer state); // GINT_TO_POINTER(CallState)
// indicator is the phone's 1-based position, mapped through hfp_indicator_map().
void handle_ciev_event(int indicator, int value);

// The call model the phone's events feed. Every connection to the phone
// belongs to a link generation; cleanup_connection starts a new one, and
// whatever an older link still sends or has queued is dropped.
unsigned hfp_link_generation();
void call_link_closed();   // main loop: the phone is gone; forget its calls and indicators

// Changes the model for a link of the given generation (any thread) and
// queues the display's refresh. False, and nothing changed, for a stale link.
bool call_feed(unsigned generation, const std::function<void(CallModel&)>& change, CallView* before = nullptr,
               CallView* after = nullptr);
CallModel call_model_snapshot();
// Brings the voice link in line with the model: opens it when a call needs
// it (may_open; blocks for the connect), closes it when none does.
void voice_link_sync(bool may_open);
// The call's sound back from the phone's handset: our voice connect, at once.
void voice_link_bring_back();

// Cases of apply (main loop).
void apply_call_model_changed(const CallModelChanged& event);
void apply_indicator_changed(const IndicatorChanged& event);
void apply_voice_link_wanted(const VoiceLinkWanted& event);

// Reader side: one "+CIEV:" / the answer to AT+CIND? of a link.
void handle_ciev_event_from(unsigned generation, int indicator, int value);
void call_status_from_phone(unsigned generation, const std::vector<int>& values);

// What the window shows beside the main call: written and read on the main loop only.
extern CallView current_call_view;
extern CallParty waiting_call_party;   // the second caller while one waits
extern CallParty held_call_party;      // the call on hold beside the active one

// The latest value of each indicator the phone reports ("battchg",
// "signal", "service", "roam", ...), -1 when unknown. Main loop.
int phone_indicator(const char* name);
