#include "hfp/listener.h"

std::atomic<int> incoming_call_running{0};
GThread* incoming_call_thread = nullptr;
std::atomic<int> hfp_listen_paused{0};

void start_incoming_listener() {}
gpointer incoming_call_listener(gpointer) { return nullptr; }
gboolean restart_incoming_listener_cb(gpointer) { return G_SOURCE_REMOVE; }
bool hands_free_link_ready() { return false; }
