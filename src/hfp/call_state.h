// The one call-state machine and the phone's indicator events that feed it.
#pragma once
#include <glib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "connection/device.h"
#include "hfp/call_model.h"

extern std::atomic<int> current_call_state;
extern char current_call_number[64];
extern char current_call_name[128];
extern guint ringtone_timer_id;

void set_call_state(CallState state);              // main thread
gboolean hfp_update_call_state_cb(gpointer state); // GINT_TO_POINTER(CallState)
gboolean ringtone_tick(gpointer);
// hfp_monitor_thread's argument: the dial connection's channel (lines it
// already read are kept) and the link generation the dial belongs to.
class AtChannel;
struct MonitorStart {
    std::shared_ptr<AtChannel> channel;
    unsigned generation;
    PhoneRef phone;   // from the thread that dialled
};
gpointer hfp_monitor_thread(gpointer);
bool parse_ciev(const char* reply, int* indicator, int* value);
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

// Reader side: one "+CIEV:" / the answer to AT+CIND? of a link.
void handle_ciev_event_from(unsigned generation, int indicator, int value);
void call_status_from_phone(unsigned generation, const std::vector<int>& values);

// Main loop: what the window shows beside the main call.
extern CallView current_call_view;
extern CallParty waiting_call_party;   // the second caller while one waits
extern CallParty held_call_party;      // the call on hold beside the active one

// The latest value of each indicator the phone reports ("battchg",
// "signal", "service", "roam", ...), -1 when unknown. Main loop.
int phone_indicator(const char* name);
