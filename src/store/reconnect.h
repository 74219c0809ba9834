// Reconnecting a known phone: a try at start and while PAIRED, 5 s after a
// lost link and then backing off (doubling, at most 5 minutes between
// tries); at once when the phone is back in range or the user presses
// Connect. Disconnect stops the tries until Connect, or the phone connects
// by itself. The phone's and bluetoothd's own reconnects are welcome: a
// connect already under way is no failure. Main loop only.
#pragma once
#include "store/connection_state.h"

// Seconds before the next try after `failures` failed tries in a row (pure).
int reconnect_delay_s(int failures);

// The state machine's part: every change of current_state, after it is made.
void reconnect_state_changed(AppState from, AppState to);
// Connect button, or the phone seen in range: a try now; lifts a hold.
void reconnect_now();
// Disconnect: no tries until Connect or the phone connects by itself.
void reconnect_hold();
bool reconnect_held();
// Back to the start of a run: no tries, nothing held (tests).
void reconnect_reset();
// Seconds until the next try; -1 when none is scheduled.
int reconnect_seconds_left();
