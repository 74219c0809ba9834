// One call's voice link as its audio thread holds it. Each connect makes a new
// one with the next generation number, so a pump that wakes up late (after
// its call ended and the next began) sees that it is no longer current and
// leaves the next call's stream, socket and flags alone.
#pragma once
#include "core/voice_codec.h"

#include <pulse/stream.h>

#include <atomic>
#include <cstdint>

// Advanced by sco_start_pumps ("voice-connect", "voice-listen") for each link; pumps compare it (atomic).
extern std::atomic<uint64_t> sco_generation;

struct VoiceLink {
    uint64_t generation = 0;
    int fd = -1;   // the audio thread's own duplicate of the link; closed with the last holder
    int mtu = 48;
    VoiceCodec codec = VoiceCodec::CVSD;
    std::atomic<uint64_t> phone_packets{0};
    // Size of the phone's latest packet (the playback pump); 0 before the first.
    std::atomic<int> phone_packet_bytes{0};
    std::atomic<int> holders{0};
};

// Whether a pump of the given generation may go on with its loop.
bool pump_is_current(uint64_t generation, uint64_t current_generation, int running, int socket);

// A pump shows its stream in the global slot only while its call is
// current and the slot is free, and clears the slot only if it still shows
// its own stream.
bool publish_stream(std::atomic<pa_stream*>& slot, pa_stream* mine, uint64_t generation);
void withdraw_stream(std::atomic<pa_stream*>& slot, pa_stream* mine);

// A pump lets go of its link; the last one closes the descriptor.
void voice_link_release(VoiceLink* link);
