// The dial connection's reader: when a dial had to open a connection of its
// own (no listener), this thread hears the phone on it until the call ends.
#pragma once
#include <glib.h>

#include <memory>

class AtChannel;

// hfp_monitor_thread's argument: the dial connection's channel (lines it
// already read are kept) and the link generation the dial belongs to.
struct MonitorStart {
    std::shared_ptr<AtChannel> channel;
    unsigned generation;
};
gpointer hfp_monitor_thread(gpointer);
