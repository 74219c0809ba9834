// The dial connection's reader: when a dial had to open a connection of its
// own (no listener), this thread hears the phone on it until the call ends.
#pragma once
#include <glib.h>

#include <memory>

#include "connection/device.h"

class AtChannel;

// hfp_monitor_thread's argument: the dial connection's channel (lines it
// already read are kept) and the link generation the dial belongs to.
struct MonitorStart {
    std::shared_ptr<AtChannel> channel;
    unsigned generation;
    PhoneRef phone;   // from the thread that dialled
};
gpointer hfp_monitor_thread(gpointer);
