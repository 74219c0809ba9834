// How much of the microphone goes to the phone, and when. The phone's own
// clock paces the link, as in a car kit: for every packet the phone sends,
// one packet goes back. What the microphone delivered beyond that (after a
// stall on our side) is dropped rather than kept as delay. Pure: the count
// of the phone's packets and the time come in as arguments.
#pragma once
#include "core/audio_tick.h"
#include <cstddef>
#include <cstdint>

class MicPacer {
public:
    // At CVSD's 16 bytes a millisecond.
    static constexpr size_t kBytesPerMs = 16;
    static constexpr size_t kDropAboveBytes = 30 * kBytesPerMs;
    static constexpr size_t kKeepBytes = 10 * kBytesPerMs;
    // Credit left over from a burst of the phone's packets (they queued
    // while we stalled) would only queue ours at the phone. Up to 30 ms is
    // the ordinary unevenness of the phone's packets against our ticks.
    static constexpr uint64_t kMaxCredit = 10;
    // Calls come once a tick; a gap this long is a stall of ours. The air
    // slots of the phone's packets from it have passed: answering them late
    // would leave our packets queued at the phone for the rest of the call,
    // since it takes one per packet it sends. Only a tick's worth counts.
    static constexpr int64_t kTickUs = kAudioTickUs;
    static constexpr int64_t kStallUs = 3 * kTickUs;
    // Without the phone's packets (none yet, or no speaker stream taking
    // them off the link) the microphone's own clock paces the link.
    static constexpr int64_t kPhoneSilentUs = 60000;
    static constexpr size_t kCapacity = 2048;
    // A queue that never empties between reads is delay nobody needs: a
    // stall can leave up to 30 ms standing, and the phone's pace alone never
    // takes it away. Its lowest level over about half a second of reads is
    // what stands; beyond two packets it goes.
    static constexpr int kStandingWindowReads = 50;
    static constexpr size_t kStandingPackets = 2;

    // bytes_per_ms: the link's (16 for CVSD, 8 transparent); unit: what
    // is dropped together (a sample, or a whole codec packet).
    explicit MicPacer(int mtu, size_t bytes_per_ms = kBytesPerMs, size_t unit = 2)
        : mtu_(mtu > 0 ? static_cast<size_t>(mtu) : 48),
          bytes_per_ms_(bytes_per_ms ? bytes_per_ms : kBytesPerMs),
          unit_(unit ? unit : 2),
          drop_above_(30 * bytes_per_ms_),
          keep_((10 * bytes_per_ms_ + unit_ - 1) / unit_ * unit_)
    {
    }

    void add_recorded(const char* data, size_t bytes);
    // Packets of one MTU that may go to the phone now; phone_packets is
    // the count of the phone's packets received since the link came up.
    int due(uint64_t phone_packets, int64_t now_us);
    // The k-th oldest MTU's worth; sent(n) takes the n oldest away.
    const char* packet(size_t k) const { return buffer_ + k * mtu_; }
    void sent(size_t packets = 1);

    size_t queued_bytes() const { return size_; }
    uint64_t dropped_bytes() const { return dropped_; }
    size_t mtu() const { return mtu_; }

private:
    void drop_oldest(size_t bytes);
    void trim_standing_queue();

    size_t mtu_;
    size_t bytes_per_ms_;
    size_t unit_;
    size_t drop_above_;
    size_t keep_;
    char buffer_[kCapacity];
    size_t size_ = 0;
    uint64_t dropped_ = 0;
    uint64_t seen_phone_packets_ = 0;
    uint64_t credit_ = 0;
    uint64_t allowance_ = kMaxCredit;
    bool phone_heard_ = false;
    int64_t last_phone_us_ = 0;
    bool clock_started_ = false;
    int64_t last_call_us_ = 0;
    int64_t clock_us_ = 0;
    size_t standing_min_ = kCapacity;
    int standing_reads_ = 0;
};
