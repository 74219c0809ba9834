// The standing listener connection that announces incoming calls.
#pragma once
#include <glib.h>

#include <atomic>
#include <memory>

class AtChannel;

// Set on the main loop when the listener starts; cleared by the main loop to
// stop it and by the listener itself when it ends. Any thread reads it.
extern std::atomic<int> incoming_call_running;
// The listener thread, started and joined on the main loop only.
extern GThread* incoming_call_thread;
// Set and cleared by the one exchange that borrows the listener's link
// (listener_pause/listener_resume); read by the listener thread.
extern std::atomic<int> hfp_listen_paused;
// Set by the listener thread while it is paused and out of its read.
extern std::atomic<int> hfp_listen_paused_ack;

// Started by set_state on entering CONNECTED: asks BlueZ for the link.
void start_incoming_listener();
// The RFCOMM link BlueZ handed over (Profile1.NewConnection; ours to close):
// the listener's handshake and loop run on it. Main loop.
void hfp_adopt_link(int fd);
// BlueZ asked for the link to go: shut down, and not asked for again.
void hfp_release_link();
gpointer incoming_call_listener(gpointer);
gboolean restart_incoming_listener_cb(gpointer);
// True once a hands-free link (listener after its handshake, or the dial
// connection) can carry a dial command.
bool hands_free_link_ready();
// True while the listener connection is up and past its handshake.
bool listener_link_ready();

// Hands the listener connection to one exchange: pauses the listener thread
// and waits until it has left its read. Null when the listener is not there
// (the pause is then already lifted). Always pair with listener_resume().
std::shared_ptr<AtChannel> listener_pause();
void listener_resume();

// Delay before restarting after the given number of consecutive quick losses:
// 0 for the first, then 1 s, 2 s, 4 s ... at most 30 s.
int listener_restart_delay_ms(int consecutive_losses);
