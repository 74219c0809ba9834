// The one call-state machine and the phone's indicator events that feed it.
#pragma once
#include <glib.h>

#include <atomic>

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
void handle_ciev_event(int indicator, int value);
