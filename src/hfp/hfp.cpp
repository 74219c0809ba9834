#include "hfp/hfp.h"

#include "app/log.h"
#include "connection/device.h"

std::atomic<int> hfp_socket{-1};
std::atomic<int> hfp_listen_socket{-1};
std::atomic<int> hfp_monitor_running{0};
GThread* hfp_monitor_thread_handle = nullptr;

void hfp_lookup_channel() {}

int hfp_effective_channel()
{
    int channel = hfp_channel.load();
    return channel != 0 ? channel : 3;
}

void hfp_close() {}

int hfp_rfcomm_open(bool* socket_failed)
{
    if (socket_failed)
        *socket_failed = true;
    return -1;
}
bool hfp_outgoing_handshake(AtChannel&) { return false; }
void hfp_listener_handshake(AtChannel&) {}
