// The two RFCOMM connections to the phone's Hands-Free Audio Gateway.
#pragma once
#include <glib.h>

#include <atomic>

extern std::atomic<int> hfp_socket;          // dial connection, -1 when closed
extern std::atomic<int> hfp_listen_socket;   // listener connection, -1 when closed
extern std::atomic<int> hfp_monitor_running;
extern GThread* hfp_monitor_thread_handle;

// Asks the phone's SDP server for its HFP-AG channel (main thread).
void hfp_lookup_channel();
// hfp_channel when known, else 3.
int hfp_effective_channel();
// Closes the SCO and dial connections and joins the monitor. Never from the monitor.
void hfp_close();
