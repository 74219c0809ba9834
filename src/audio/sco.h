// The SCO voice link and the audio pumps it starts.
#pragma once
#include <glib.h>

#include <atomic>

extern std::atomic<int> sco_socket;
extern std::atomic<int> sco_mtu;
extern std::atomic<int> sco_audio_running;

void sco_connect();
// Also a GThreadFunc ("hangup_cleanup"): message is a static text or null.
gpointer stop_sco_audio(gpointer message);
