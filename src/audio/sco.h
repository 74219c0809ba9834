// The SCO voice link and the audio pumps it starts.
#pragma once
#include <glib.h>
#include <pthread.h>

#include <atomic>

// Written by whoever connects or stops the voice link (the main loop or a
// link worker; connects are serialised); the pumps and the call logic read
// them (atomic).
extern std::atomic<int> sco_socket;
extern std::atomic<int> sco_mtu;
extern std::atomic<int> sco_audio_running;
// 1 while a call's sound is on the phone's handset: the phone closed the
// voice link itself. Set by the pump that saw it, cleared by the next link
// (link worker) and when the call ends (main loop); read on the main loop.
extern std::atomic<int> sco_sound_on_phone;
// 1 while the link up is one the phone opened (sco_adopt_link): while a call
// rings that is its in-band ring. Written by the link's opener and stop.
extern std::atomic<int> sco_link_from_phone;
// Set by sco_start_pumps and joined by sco_reap_pump_threads, both under the
// pump threads' own mutex; valid while the matching *_started flag is set.
extern pthread_t sco_playback_thread;
extern pthread_t sco_capture_thread;

void sco_connect();
// Takes a voice link the phone opened (accepted with deferred setup, not yet
// read) as the call's: completes it and starts the pumps on it. Any thread.
void sco_adopt_link(int fd);
// Starts a pair of pumps on sco_socket as the current call's; sco_connect
// does this once the link is up.
void sco_start_pumps();
// Also a GThreadFunc ("hangup_cleanup"): message is a static text or null.
gpointer stop_sco_audio(gpointer message);

// Joins pump threads that have ended; with wait, also those still running
// (they are expected to be on their way out). Never joins the calling thread.
// Returns the number of pump threads still unjoined.
int sco_reap_pump_threads(bool wait);
