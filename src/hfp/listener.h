// The standing hands-free link: opened when the phone connects, kept up
// while it stays, and the one link every call command goes over.
#pragma once
#include <glib.h>

#include <atomic>

// Set on the main loop when the listener starts; cleared by the main loop to
// stop it and by the listener itself when it ends. Any thread reads it.
extern std::atomic<int> incoming_call_running;
// The listener thread, started and joined on the main loop only.
extern GThread* incoming_call_thread;

// Started by set_state on entering CONNECTED.
void start_incoming_listener();
gpointer incoming_call_listener(gpointer);
gboolean restart_incoming_listener_cb(gpointer);
// True once the link is past its handshake and can carry call commands.
bool hands_free_link_ready();
bool listener_link_ready();

// Delay before restarting after the given number of consecutive quick losses:
// 0 for the first, then 1 s, 2 s, 4 s ... at most 30 s.
int listener_restart_delay_ms(int consecutive_losses);
