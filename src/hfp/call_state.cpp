#include "hfp/call_state.h"

std::atomic<int> current_call_state{CALL_IDLE};
char current_call_number[64] = "";
char current_call_name[128] = "";
guint ringtone_timer_id = 0;

void set_call_state(CallState state) { current_call_state = state; }
gboolean hfp_update_call_state_cb(gpointer) { return G_SOURCE_REMOVE; }
gboolean ringtone_tick(gpointer) { return G_SOURCE_CONTINUE; }
gpointer hfp_monitor_thread(gpointer) { return nullptr; }
bool parse_ciev(const char*, int*, int*) { return false; }
void handle_ciev_event(int, int) {}
