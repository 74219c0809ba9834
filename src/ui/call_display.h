// The call area (label, Answer, Reject, Hang up and the second call's row)
// and the ring of an incoming call. Main loop only.
#pragma once
#include <gtk/gtk.h>

#include <string>

// The beep timer of a ringing call, 0 when silent. Main loop only.
extern guint ringtone_timer_id;

// Shows the current call state in the call area.
void update_call_ui();


// An incoming call: beep every second and bring the window to the front.
void call_alert_start();
void call_alert_stop();
gboolean ringtone_tick(gpointer);
