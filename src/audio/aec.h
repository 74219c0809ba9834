// Acoustic echo canceller (webrtc-audio-processing 0.x) and the render FIFO
// that carries far-end samples from the playback pump to the capture pump.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace webrtc {
class AudioProcessing;
}

struct AecInstance {
    std::unique_ptr<webrtc::AudioProcessing> processor;
    int32_t stream_sample_rate;
    int32_t stream_channels;
    bool stream_keyboard_channel;
    size_t stream_frames;
    int32_t sample_rate;
};

inline constexpr int kAecFifoCapacity = 4000;
inline constexpr int kAecFrameSamples = 80;   // 10 ms at 8 kHz
// Far-end to echo delay we report to the canceller: SCO receive, the
// playback stream's ~30 ms target, the room, the record fragment.
inline constexpr int kAecStreamDelayMs = 40;

// Created by the voice link's start at the call's rate, destroyed by its
// stop, used by the audio thread, only under aec_mutex. aec_enabled is the
// "Cancel echo" switch: written on the main loop (settings, the window),
// read by the link's start and the audio thread (atomic).
extern AecInstance* aec_handle;
extern std::atomic<int> aec_enabled;
extern std::mutex aec_mutex;
// Pushed and popped by the audio thread, reset by the voice link's start and
// stop: the FIFO and its indices only under aec_fifo_mutex.
extern int16_t aec_render_fifo[kAecFifoCapacity];
extern int aec_fifo_head;
extern int aec_fifo_tail;
extern int aec_fifo_size;
extern std::mutex aec_fifo_mutex;

AecInstance* aec_create(int sample_rate);
int aec_process(AecInstance* aec, int16_t* capture, const int16_t* render, int samples);
void aec_destroy(AecInstance* aec);

// Render FIFO; each takes aec_fifo_mutex itself.
void aec_fifo_push(const int16_t* samples, int count);
// Takes 80 samples into out, or writes 80 zeros and consumes nothing when
// fewer are queued. Returns whether real samples were taken.
bool aec_fifo_pop_frame(int16_t* out);
// The same for count samples (10 ms at the call's rate).
bool aec_fifo_pop(int16_t* out, int count);
void aec_fifo_reset();
