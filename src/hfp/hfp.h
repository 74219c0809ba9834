// The two RFCOMM connections to the phone's Hands-Free Audio Gateway.
#pragma once
#include <glib.h>

#include <atomic>
#include <vector>

// The two links' descriptors, -1 when closed. Set by the thread that opens
// the link (dial worker, listener); taken by compare-exchange by whoever
// closes it (its reader, hfp_close, cleanup_connection), so only one closes.
extern std::atomic<int> hfp_socket;          // dial connection
extern std::atomic<int> hfp_listen_socket;   // listener connection
// Set by the dial worker before it starts the monitor; cleared by hfp_close
// and by the monitor itself when it ends.
extern std::atomic<int> hfp_monitor_running;
// Set by the dial's worker thread, taken by whichever hfp_close comes first.
extern std::atomic<GThread*> hfp_monitor_thread_handle;
// Longest wait for one reply during the handshakes (the fixed waits are
// minimums). Constant in the program; tests shorten it before a link opens.
extern std::atomic<int> hfp_reply_timeout_ms;

// Asks the phone's SDP server for its HFP-AG channel (a worker: it can take 20 s).
void hfp_lookup_channel();
// hfp_channel when known, else 3.
int hfp_effective_channel();
// Closes the SCO and dial connections and joins the monitor. Never from the monitor.
void hfp_close();

// Opens an RFCOMM connection to device_addr on the effective channel.
// Returns the descriptor, or -1 with errno set (the socket is closed).
// With publish, the descriptor is stored there before the connect, so that
// another thread can abort the connect by shutting it down; taken out of
// it meanwhile, it counts as aborted. Without, the caller stores it.
int hfp_rfcomm_open(bool* socket_failed, std::atomic<int>* publish = nullptr);

class AtChannel;
// What the phone told a handshake about itself and its calls.
struct PhoneStatus {
    std::vector<int> values;   // the answer to AT+CIND?, in the phone's order; empty when unread
    int ag_features = -1;      // its "+BRSF:" bits, -1 when unread
};
// The handshakes. The outgoing one logs its own failure message and returns
// false; the listener one goes on past refusals and is false only when the
// link died. Both learn the indicator map.
bool hfp_outgoing_handshake(AtChannel& channel, PhoneStatus* status = nullptr);
bool hfp_listener_handshake(AtChannel& channel, PhoneStatus* status = nullptr);
