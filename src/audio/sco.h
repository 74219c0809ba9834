// The SCO voice link and the audio pumps it starts.
#pragma once
#include <glib.h>
#include <pthread.h>

#include "core/voice_codec.h"

#include <atomic>

// Atomic, all three. Set by the connects ("voice-connect", "voice-listen"; serialised); socket
// and running cleared by the stops: main loop, "voice-stop", both connects, link reader, audio thread.
extern std::atomic<int> sco_socket;
extern std::atomic<int> sco_mtu;
extern std::atomic<int> sco_audio_running;
// 1 while a call's sound is on the phone's handset: the phone closed the
// voice link itself. Atomic: set by the audio thread, cleared by the connects and the main loop.
extern std::atomic<int> sco_sound_on_phone;
// 1 while the link up is one the phone opened (sco_adopt_link): while a call
// rings that is its in-band ring. Atomic: written by the connects and the stops.
extern std::atomic<int> sco_link_from_phone;
// Under pump_threads_mutex: set by sco_start_pumps, joined by sco_reap_pump_threads.
extern pthread_t sco_audio_thread;

// The codec of the next voice link (a VoiceCodec number), as the hands-free
// link last agreed it. Atomic: the link reader, the main loop's fall-back, a connect's fall-back.
extern std::atomic<int> sco_codec;
// The codec the running link carries, for the window. Atomic: set by the connects, CVSD by the stops.
extern std::atomic<int> sco_link_codec;

// The link's air coding for a codec (BT_VOICE): on a socket before its
// connect, or on an accepted one before the read that completes it (the
// kernel refuses it on a listening socket).
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
