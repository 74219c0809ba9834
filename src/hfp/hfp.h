// Finding and opening the RFCOMM link to the phone's Hands-Free Audio Gateway.
#pragma once
#include <glib.h>

#include <atomic>
#include <cstdint>
#include <vector>

// The link's descriptor while it lives, -1 otherwise. Atomic: set on the main
// loop as "incoming-call" starts, taken by whoever ends it first (main loop, or that thread).
extern std::atomic<int> hfp_listen_socket;
// The phone's hands-free channel, 0 while unknown. Atomic: cleared on the main loop
// when the phone is forgotten; set by hfp_lookup_channel on its caller's thread.
extern std::atomic<uint8_t> hfp_channel;
// Longest wait for one reply during the handshake. Constant in the
// program; tests shorten it before a link opens.
extern std::atomic<int> hfp_reply_timeout_ms;

// Asks the phone's SDP server for its HFP-AG channel; hfp_channel stays 0
// when none is found (there is no default channel).
void hfp_lookup_channel();
// Closes the SCO link. The hands-free link is the listener's.
void hfp_close();
// Its first half, which waits for nothing: the flag cleared and the socket
// shut and closed. True when there was a link.
bool hfp_close_voice();

// Opens an RFCOMM connection to the phone on hfp_channel.
// Returns the descriptor, or -1 with errno set (the socket is closed).
// With publish, the descriptor is stored there before the connect, so that
// another thread can abort the connect by shutting it down; taken out of
// it meanwhile, it counts as aborted. Without, the caller stores it.
int hfp_rfcomm_open(bool* socket_failed, std::atomic<int>* publish = nullptr);

// What the phone told the handshake about itself and its calls.
struct PhoneStatus {
    std::vector<int> values;   // the answer to AT+CIND?, in the phone's order; empty when unread
    int ag_features = -1;      // its "+BRSF:" bits, -1 when unread
};
