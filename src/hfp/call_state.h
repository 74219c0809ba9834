// The one call-state machine and the phone's indicator events that feed it.
#pragma once
#include <glib.h>

#include <atomic>
#include <functional>

enum CallState { CALL_IDLE = 0, CALL_INCOMING, CALL_OUTGOING, CALL_ACTIVE };

extern std::atomic<int> current_call_state;
extern char current_call_number[64];
extern char current_call_name[128];
extern guint ringtone_timer_id;

void set_call_state(CallState state);              // main thread
gboolean hfp_update_call_state_cb(gpointer state); // GINT_TO_POINTER(CallState)
gboolean ringtone_tick(gpointer);
gpointer hfp_monitor_thread(gpointer);
bool parse_ciev(const char* reply, int* indicator, int* value);
// indicator is the phone's 1-based position, mapped through hfp_indicator_map().
void handle_ciev_event(int indicator, int value);

// Reader side. Requests reach the main loop in the order they were made; a
// reader judges new events against the state it already asked for, not the
// one the main loop has applied so far.
void request_call_state(CallState state);   // any thread: queues hfp_update_call_state_cb
int reader_call_state();                    // last requested and not yet applied, else current
// The caller's number and name travel as copies with the request, so the
// display never reads them half-written. ring: request CALL_INCOMING, else
// only refresh the display.
void request_caller_info(const char* number, const char* name, bool ring);
// A request that carries more than a state (the accepted dial): apply runs
// on the main loop in queue order, and readers judge events against state
// from now until it has run.
void request_call_state_with(CallState state, std::function<void()> apply);
