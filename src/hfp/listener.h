// The standing hands-free link: opened when the phone connects, kept up
// while it stays, and the one link every call command goes over.
#pragma once
#include <glib.h>

#include "base/events.h"

#include <atomic>

// Set on the main loop when the listener starts; cleared by the main loop to
// stop it and by the listener itself when it ends. Any thread reads it.
extern std::atomic<int> incoming_call_running;
// The listener thread, started and joined on the main loop only.
extern GThread* incoming_call_thread;

// Started by set_state on entering CONNECTED: asks BlueZ for the link.
void start_incoming_listener();
// The RFCOMM link BlueZ handed over (Profile1.NewConnection; ours to close):
// the listener's handshake and loop run on it. Main loop.
void hfp_adopt_link(int fd);
// BlueZ asked for the link to go: shut down, and not asked for again.
void hfp_release_link();
gpointer incoming_call_listener(gpointer);
gboolean restart_incoming_listener_cb(gpointer);
// Cases of apply (main loop).
void apply_hands_free_link_ready(const HandsFreeLinkReady& event);
void apply_hands_free_link_lost(const HandsFreeLinkLost& event);
// True once the link is past its handshake and can carry call commands.
bool hands_free_link_ready();
bool listener_link_ready();

// Delay before restarting after the given number of consecutive quick losses:
// 0 for the first, then 1 s, 2 s, 4 s ... at most 30 s.
int listener_restart_delay_ms(int consecutive_losses);
