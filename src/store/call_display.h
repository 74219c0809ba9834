// The call as the window shows it: the main call, the second caller or the
// held call beside it, and the phone's indicators. Written on the main loop
// only, by the cases of apply below and set_call_state; workers read the
// state (atomic), everything else is read on the main loop.
#pragma once
#include <glib.h>

#include "base/events.h"
#include "core/call_model.h"

#include <atomic>

extern std::atomic<int> current_call_state;
extern char current_call_number[64];
extern char current_call_name[128];
extern CallView current_call_view;
extern CallParty waiting_call_party;   // the second caller while one waits
extern CallParty held_call_party;      // the call on hold beside the active one

void set_call_state(CallState state);
// The phone said what its call is; CALL_IDLE is believed over anything seen
// before. GINT_TO_POINTER(CallState).
gboolean hfp_update_call_state_cb(gpointer state);

// The latest value of each indicator the phone reports ("battchg",
// "signal", "service", "roam", ...), -1 when unknown.
int phone_indicator(const char* name);

// Forgets the call and the indicators at once (the program's reset).
void reset_call_display();

// Cases of apply.
void apply_call_model_changed(const CallModelChanged& event);
void apply_indicator_changed(const IndicatorChanged& event);
void apply_call_link_closed(const CallLinkClosed& event);
