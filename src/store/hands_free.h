// Asking BlueZ for the phone's hands-free link while the phone is connected,
// and again with back-off after the link was lost.
#pragma once
#include "base/events.h"

#include <glib.h>

// Started by set_state on entering CONNECTED: asks BlueZ for the link.
void start_incoming_listener();
gboolean restart_incoming_listener_cb(gpointer);
// Whether a ConnectProfile of ours is under way (main loop).
bool hands_free_link_requested();

// Forgets the losses counted and a request under way (the program's reset).
void hands_free_reset();

// Cases of apply (main loop).
void apply_hands_free_link_ready(const HandsFreeLinkReady& event);
void apply_hands_free_link_lost(const HandsFreeLinkLost& event);

// Delay before restarting after the given number of consecutive quick losses:
// 0 for the first, then 1 s, 2 s, 4 s ... at most 30 s.
int listener_restart_delay_ms(int consecutive_losses);
