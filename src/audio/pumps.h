// The call's audio thread between the SCO socket and the sound server: one
// thread on PulseAudio's asynchronous API carries both directions.
#pragma once
#include "core/audio_tick.h"
#include "core/voice_codec.h"

#include <pulse/stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Non-null while the audio thread holds that stream. Only the audio thread
// writes them; the stop reads them (atomic) to see the streams gone.
extern std::atomic<pa_stream*> pulse_playback;
extern std::atomic<pa_stream*> pulse_capture;

inline constexpr int kPlaybackBufferBytes = 240;   // one SCO read
inline constexpr int kAecChunkBytes = 160;         // 80 samples, 10 ms
inline constexpr int kDefaultScoMtu = 48;
inline constexpr uint32_t kBytesPerMs = 16;        // 8000 Hz * 2 bytes
// Largest phone-side packet; a bigger reported MTU is capped to it.
inline constexpr int kMaxCaptureChunkBytes = 240;

// Mono S16LE at the call's rate (8000 for the SCO voice format).
pa_sample_spec sco_sample_spec(uint32_t rate = 8000);
// Low-latency buffering: the server's defaults put a phone call 130-190 ms
// behind on playback and deliver capture in 2 s bursts.
pa_buffer_attr playback_buffer_attr(uint32_t rate = 8000);
pa_buffer_attr capture_buffer_attr(uint32_t rate = 8000);

// The packet size sent to the phone for a reported MTU.
int capture_mtu(int reported_mtu);
// The same for a codec: transparent links carry whole 60-byte H2 packets
// where the link allows, else the stream in pieces of the MTU.
int link_packet_bytes(VoiceCodec codec, int reported_mtu);

// Takes the call's VoiceLink (voice_link.h) and lets go of it at the end.
void* sco_audio_thread_func(void* link);
