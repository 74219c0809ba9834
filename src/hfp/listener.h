// The standing hands-free link's thread: the conversation with the phone on
// the link BlueZ hands over, kept until the link goes. It reports through
// events (HandsFreeLinkReady, HandsFreeLinkLost); whoever asks BlueZ for the
// link decides when to ask again.
#pragma once
#include <glib.h>

#include <atomic>

// Set on the main loop when the listener starts; cleared by the main loop to
// stop it and by the listener itself when it ends. Any thread reads it.
extern std::atomic<int> incoming_call_running;
// The listener thread, started and joined on the main loop only.
extern GThread* incoming_call_thread;

// Whether the phone is connected (CONNECTED): commands such as a dial are
// refused or wait without it. Written by set_state only, on the main loop.
void hfp_set_phone_connected(bool connected);
bool hfp_phone_connected();

// The RFCOMM link BlueZ handed over (Profile1.NewConnection; ours to close):
// the listener's handshake and loop run on it. asked_for: we asked BlueZ for
// it (the start was logged then). Main loop.
void hfp_adopt_link(int fd, bool asked_for);
// BlueZ asked for the link to go: shut down, and not asked for again.
void hfp_release_link();
// Shuts the link down and joins the listener thread. Main loop.
void hfp_stop_listener();
// Ends the hands-free and voice links without waiting: the listener thread
// and the voice pumps are waited for by a "link-teardown" worker, which
// join_workers waits for at exit; a new listener waits for it. Main loop.
void hfp_end_links();
// Whether a listener thread runs; one that has ended is joined. Main loop.
bool listener_running();
gpointer incoming_call_listener(gpointer);
// True once the link is past its handshake and can carry call commands.
bool hands_free_link_ready();
