// The two audio pumps between the SCO socket and the sound server.
#pragma once
#include <pulse/simple.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Owned by the pump that opened it; null while that pump holds no stream.
// Only the pumps write them; the stop reads them (atomic) to see the pumps gone.
extern std::atomic<pa_simple*> pulse_playback;
extern std::atomic<pa_simple*> pulse_capture;

inline constexpr int kPlaybackBufferBytes = 240;   // one SCO read
inline constexpr int kAecChunkBytes = 160;         // 80 samples, 10 ms
inline constexpr int kDefaultScoMtu = 48;
inline constexpr uint32_t kBytesPerMs = 16;        // 8000 Hz * 2 bytes
// Largest phone-side packet; a bigger reported MTU is capped to it.
inline constexpr int kMaxCaptureChunkBytes = 240;

// 8 kHz mono S16LE, the SCO voice format.
pa_sample_spec sco_sample_spec();
// Low-latency buffering: the server's defaults put a phone call 130-190 ms
// behind on playback and deliver capture in 2 s bursts.
pa_buffer_attr playback_buffer_attr();
pa_buffer_attr capture_buffer_attr();

// The packet size sent to the phone for a reported MTU.
int capture_mtu(int reported_mtu);

// Both take the call's VoiceLink (voice_link.h) and let go of it at the end.
void* sco_playback_thread_func(void* link);
void* sco_capture_thread_func(void* link);
