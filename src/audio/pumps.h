// The two audio pumps between the SCO socket and the sound server.
#pragma once
#include <pulse/simple.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Owned by the pump that opened it; null while that pump holds no stream.
extern std::atomic<pa_simple*> pulse_playback;
extern std::atomic<pa_simple*> pulse_capture;

inline constexpr int kPlaybackBufferBytes = 240;   // one SCO read
inline constexpr int kAecChunkBytes = 160;         // 80 samples, 10 ms
inline constexpr int kDefaultScoMtu = 48;
inline constexpr uint32_t kBytesPerMs = 16;        // 8000 Hz * 2 bytes
// Largest capture chunk; a bigger reported MTU is capped to it.
inline constexpr int kMaxCaptureChunkBytes = 240;

// 8 kHz mono S16LE, the SCO voice format.
pa_sample_spec sco_sample_spec();
// Low-latency buffering: the server's defaults put a phone call 130-190 ms
// behind on playback and deliver capture in 2 s bursts.
pa_buffer_attr playback_buffer_attr();
pa_buffer_attr capture_buffer_attr();

// Keeps the speaker from falling further and further behind the phone.
// The phone sends at its own pace; whenever the PC stalls, the packets it
// then sends in a burst stay queued for the rest of the call, so every
// hiccup would add its length to the delay for good. Every ~100 ms the
// server's latency is checked; past the limit, incoming packets are dropped
// until the excess is gone.
class PlaybackLatencyGuard {
public:
    static constexpr pa_usec_t kMaxLatencyUs = 60000;
    static constexpr pa_usec_t kSettleLatencyUs = 40000;
    static constexpr int kCheckEveryPackets = 32;

    // True when this packet of bytes should be dropped, not played.
    bool drop(pa_simple* stream, size_t bytes);

private:
    int packets_ = 0;
    size_t excess_bytes_ = 0;
};

// The capture chunk and send piece size for a reported MTU.
int capture_mtu(int reported_mtu);

void* sco_playback_thread_func(void*);
void* sco_capture_thread_func(void*);
