// What the playback pump writes to the sound server, tick by tick: the
// phone's packets gathered over about 10 ms, a small jitter buffer in front
// of the stream, concealment when the phone's packets are late, and gentle
// trimming when too much is queued. Pure: time comes in as an argument.
#pragma once
#include "core/audio_tick.h"
#include <cstddef>
#include <cstdint>

class SpeakerJitter {
public:
    static constexpr int64_t kTickUs = kAudioTickUs;
    static constexpr int64_t kTargetFloorUs = 22000;
    static constexpr int64_t kTargetCeilUs = 40000;
    // Below this after a write, the stream could run dry before the next
    // tick (one tick late, plus the sink's own few milliseconds). It stays
    // a frame of 7.5 ms under the target: higher, the ordinary unevenness
    // of 7.5 ms frames in 10 ms ticks would dip under it and make audio up.
    static constexpr int64_t kLowWaterUs = 17000;
    static constexpr int64_t kTrimAboveUs = 5000;        // over the target
    static constexpr int64_t kTrimLoudAboveUs = 15000;   // loud packets too
    static constexpr int64_t kTrimEveryUs = 20000;
    // A burst (after our own stall) beyond this is dropped at once.
    static constexpr int64_t kMaxAheadUs = 80000;
    // Concealment counts as owed audio only this long: a packet that
    // never comes must not cost later ones.
    static constexpr int64_t kLateWindowUs = 100000;
    static constexpr int64_t kClockToleranceUs = 2000;
    static constexpr int64_t kClockStepUs = 500;
    static constexpr int64_t kLatencyJumpUs = 5000;
    // Running dry again this soon after audio was counted back as queued
    // says the readings were wrong, not our count.
    static constexpr int64_t kCountedBackTrustUs = 2500000;
    // 10 ms at 8 kHz: what concealment repeats, at any rate.
    static constexpr int kFadeSamples = 80;
    static constexpr int kMaxFadeSamples = 320;
    static constexpr int kMaxPackets = 64;
    static constexpr int kMaxPacketSamples = 480;
    static constexpr int kMaxOutSamples = 4096;

    // rate: the call's, in Hz (8000, 16000 or 32000).
    explicit SpeakerJitter(int rate = 8000);

    // Bytes taken off the link: one packet. An odd byte waits for the next.
    void add_bytes(const char* data, size_t bytes, int64_t now_us);
    // One packet's worth already decoded.
    void add_samples(const int16_t* samples, size_t count, int64_t now_us);
    // The block to write now (may be empty); valid until the next call.
    const int16_t* tick(int64_t now_us, size_t* samples);

    // The server's own latency figure, sampled now and then: only its
    // changes count, so the sound card's clock running apart from ours is
    // followed without taking the device's own latency for queued audio.
    void note_server_latency(int64_t now_us, int64_t latency_us);

    // The server ran the stream dry: nothing we wrote is queued any more,
    // and what reached it late may have been skipped. Believed at once;
    // waiting a second for the latency figures would leave every tick
    // short in between.
    void note_underrun(int64_t now_us);

    // Time until the last written sample is played, as far as we wrote.
    int64_t ahead_us(int64_t now_us) const;
    int64_t target_us() const { return target_us_; }
    size_t pending_samples() const;

    struct Counts {
        uint64_t written = 0;         // samples handed to the stream
        uint64_t concealed = 0;       // of them, made up
        uint64_t late_dropped = 0;    // phone samples whose gap was already filled
        uint64_t trimmed_packets = 0;
        uint64_t burst_dropped = 0;   // over the ceiling at once
        uint64_t conceal_events = 0;  // ticks that had to make audio up
        uint64_t clock_steps = 0;     // corrections for the sound card's clock
        uint64_t underruns = 0;       // told by the server
    };
    const Counts& counts() const { return counts_; }

private:
    struct Packet {
        int16_t samples[kMaxPacketSamples];
        int count;
        uint64_t energy;   // mean square
    };
    void drop_front_samples(size_t n);
    void remove_packet(int index);
    void note_arrival(int64_t now_us, int samples);
    void append(const int16_t* s, size_t n, bool real);
    int64_t samples_us(uint64_t n) const { return static_cast<int64_t>(n * sample_ns_ / 1000); }
    // Rounded up: a part of a sample is a whole one.
    size_t us_samples(int64_t us) const
    {
        return us <= 0 ? 0 : static_cast<size_t>((static_cast<uint64_t>(us) * 1000 + sample_ns_ - 1) / sample_ns_);
    }

    uint64_t sample_ns_;
    int fade_samples_;

    Packet packets_[kMaxPackets];
    int packet_count_ = 0;
    bool have_odd_byte_ = false;
    char odd_byte_ = 0;

    bool started_ = false;
    int64_t written_end_us_ = 0;
    int64_t target_us_ = kTargetFloorUs;
    int64_t settled_target_us_ = kTargetFloorUs;
    int64_t last_trim_us_ = INT64_MIN / 2;
    uint64_t debt_samples_ = 0;
    int64_t debt_until_us_ = 0;
    int conceal_pos_ = -1;   // -1: the last write was real audio
    int16_t history_[kMaxFadeSamples] = {};

    // Arrival lateness against the phone's own clock, two 1 s windows.
    bool clock_anchored_ = false;
    int64_t phone_t0_us_ = 0;
    uint64_t phone_samples_ = 0;
    int64_t window_start_us_ = 0;
    int64_t cur_min_ = 0, cur_max_ = 0, prev_min_ = 0, prev_max_ = 0;
    bool cur_any_ = false, prev_any_ = false;

    static constexpr int kLatencySamples = 10;
    int64_t latency_offsets_[kLatencySamples];
    int latency_count_ = 0;
    int latency_rounds_ = 0;
    bool latency_settled_ = false;   // a reference was set once
    int64_t latency_base_ = 0;
    bool check_after_dry_ = false;
    int64_t counted_back_at_us_ = INT64_MIN / 2;

    int16_t out_[kMaxOutSamples];
    size_t out_count_ = 0;
    Counts counts_;
};
