// The standing listener connection that announces incoming calls.
#pragma once
#include <glib.h>

#include <atomic>

extern std::atomic<int> incoming_call_running;
extern GThread* incoming_call_thread;
extern std::atomic<int> hfp_listen_paused;

// Started by set_state on entering CONNECTED.
void start_incoming_listener();
gpointer incoming_call_listener(gpointer);
gboolean restart_incoming_listener_cb(gpointer);
// True once a hands-free link (listener after its handshake, or the dial
// connection) can carry a dial command.
bool hands_free_link_ready();
