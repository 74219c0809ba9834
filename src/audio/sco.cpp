#include "audio/sco.h"

std::atomic<int> sco_socket{-1};
std::atomic<int> sco_mtu{48};
std::atomic<int> sco_audio_running{0};

void sco_connect() {}
gpointer stop_sco_audio(gpointer) { return nullptr; }
