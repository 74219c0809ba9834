// The call area (label, Answer, Reject, Hang up and the second call's row)
// and the ring of an incoming call. Main loop only.
#pragma once
#include <gtk/gtk.h>

#include <string>

// The beep timer of a ringing call, 0 when silent. Main loop only.
extern guint ringtone_timer_id;

// Shows the current call state in the call area.
void update_call_ui();

// The label's markup for a call state; name and number are escaped, so a
// caller's text always shows as typed.
std::string call_label_markup(int state, const char* name, const char* number, bool on_hold = false,
                              int action = 0);

// An incoming call: beep every second and bring the window to the front.
void call_alert_start();
void call_alert_stop();
gboolean ringtone_tick(gpointer);
