// The SCO voice link and the audio pumps it starts.
#pragma once
#include <glib.h>
#include <pthread.h>

#include "core/voice_codec.h"

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
// audio thread's own mutex; valid while its started flag is set.
extern pthread_t sco_audio_thread;

// The codec of the next voice link (a VoiceCodec number), as the hands-free
// link last agreed it. Written by that link's reader thread, and by
// sco_connect when it falls back to CVSD; read by sco_connect (atomic).
extern std::atomic<int> sco_codec;
// The codec the running link carries, for the window (atomic; written by
// sco_connect, CVSD when no link runs).
extern std::atomic<int> sco_link_codec;

// The link's air coding for a codec (BT_VOICE): on a socket before its
// connect, or on a listening one for the links it accepts.
int sco_set_voice(int fd, VoiceCodec codec);

void sco_connect();
// Takes a voice link the phone opened (accepted with deferred setup, not yet
// read) as the call's: completes it and starts the audio thread on it. Any thread.
void sco_adopt_link(int fd);
// Starts the audio thread on sco_socket as the current call's; sco_connect
// does this once the link is up.
void sco_start_pumps();
// Also a GThreadFunc ("hangup_cleanup"): message is a static text or null.
gpointer stop_sco_audio(gpointer message);

// Joins an audio thread that has ended; with wait, also one still running
// (it is expected to be on its way out). Never joins the calling thread.
// Returns the number of audio threads still unjoined.
int sco_reap_pump_threads(bool wait);
