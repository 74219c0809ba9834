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
