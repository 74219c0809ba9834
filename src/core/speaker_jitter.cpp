#include "core/speaker_jitter.h"

#include <algorithm>
#include <cstring>

namespace {

// About -40 dBFS: a pause between words, where a cut is not heard.
constexpr uint64_t kQuietEnergy = 300 * 300;
constexpr int64_t kWindowUs = 1000000;

}  // namespace

SpeakerJitter::SpeakerJitter(int rate)
    : sample_ns_(1000000000ull / static_cast<uint64_t>(rate > 0 ? rate : 8000)),
      fade_samples_(std::min(kMaxFadeSamples, (rate > 0 ? rate : 8000) / 100))
{
}

void SpeakerJitter::add_samples(const int16_t* samples, size_t count, int64_t now_us)
{
    if (count == 0)
        return;
    if (packet_count_ == kMaxPackets) {
        counts_.burst_dropped += static_cast<uint64_t>(packets_[0].count);
        remove_packet(0);
    }
    Packet& p = packets_[packet_count_];
    p.count = static_cast<int>(std::min<size_t>(count, kMaxPacketSamples));
    std::memcpy(p.samples, samples, static_cast<size_t>(p.count) * 2);
    uint64_t sum = 0;
    for (int i = 0; i < p.count; ++i)
        sum += static_cast<uint64_t>(int64_t(p.samples[i]) * p.samples[i]);
    p.energy = sum / static_cast<uint64_t>(p.count);
    ++packet_count_;
    note_arrival(now_us, p.count);
}

void SpeakerJitter::add_bytes(const char* data, size_t bytes, int64_t now_us)
{
    if (bytes == 0)
        return;
    if (packet_count_ == kMaxPackets) {
        // Only a burst far over the ceiling gets here; the oldest goes.
        counts_.burst_dropped += static_cast<uint64_t>(packets_[0].count);
        remove_packet(0);
    }
    Packet& p = packets_[packet_count_];
    char raw[2 * kMaxPacketSamples + 1];
    size_t n = 0;
    if (have_odd_byte_)
        raw[n++] = odd_byte_;
    size_t take = std::min(bytes, sizeof raw - n);
    std::memcpy(raw + n, data, take);
    n += take;
    have_odd_byte_ = n % 2 != 0;
    if (have_odd_byte_)
        odd_byte_ = raw[n - 1];
    p.count = static_cast<int>(std::min<size_t>(n / 2, kMaxPacketSamples));
    std::memcpy(p.samples, raw, static_cast<size_t>(p.count) * 2);
    uint64_t sum = 0;
    for (int i = 0; i < p.count; ++i)
        sum += static_cast<uint64_t>(int64_t(p.samples[i]) * p.samples[i]);
    p.energy = p.count ? sum / static_cast<uint64_t>(p.count) : 0;
    if (p.count == 0)
        return;
    ++packet_count_;
    note_arrival(now_us, p.count);
}

void SpeakerJitter::note_arrival(int64_t now_us, int samples)
{
    if (!clock_anchored_) {
        clock_anchored_ = true;
        phone_t0_us_ = now_us;
        window_start_us_ = now_us;
    }
    phone_samples_ += static_cast<uint64_t>(samples);
    int64_t late = now_us - (phone_t0_us_ + samples_us(phone_samples_));
    if (now_us - window_start_us_ >= kWindowUs) {
        prev_min_ = cur_min_;
        prev_max_ = cur_max_;
        prev_any_ = cur_any_;
        cur_any_ = false;
        window_start_us_ = now_us;
    }
    if (!cur_any_) {
        cur_min_ = cur_max_ = late;
        cur_any_ = true;
    }
    cur_min_ = std::min(cur_min_, late);
    cur_max_ = std::max(cur_max_, late);
    int64_t lo = prev_any_ ? std::min(cur_min_, prev_min_) : cur_min_;
    int64_t hi = prev_any_ ? std::max(cur_max_, prev_max_) : cur_max_;
    // Packets are taken off the link once a tick, so a tick's worth of
    // spread is the pump's own doing, not the phone's.
    int64_t jitter = std::max<int64_t>(0, hi - lo - kTickUs);
    target_us_ = std::clamp(kTargetFloorUs + jitter, kTargetFloorUs, kTargetCeilUs);
}

void SpeakerJitter::note_server_latency(int64_t now_us, int64_t latency_us)
{
    if (!started_)
        return;
    const int64_t offset_now = latency_us - (written_end_us_ - now_us);
    if (check_after_dry_) {
        check_after_dry_ = false;
        // What we wrote between the stream running dry and our hearing of
        // it is queued all the same, after the gap: counted as gone, it
        // would stay as delay for the rest of the call.
        const int64_t hidden = offset_now - latency_base_;
        if (hidden > kLatencyJumpUs) {
            written_end_us_ += hidden;
            ++counts_.clock_steps;
            counted_back_at_us_ = now_us;
        }
        return;
    }
    latency_offsets_[latency_count_++] = offset_now;
    if (latency_count_ < kLatencySamples)
        return;
    latency_count_ = 0;
    std::nth_element(latency_offsets_, latency_offsets_ + kLatencySamples / 2, latency_offsets_ + kLatencySamples);
    const int64_t offset = latency_offsets_[kLatencySamples / 2];
    // The first rounds settle the stream; the third sets the reference.
    if (++latency_rounds_ < 3)
        return;
    if (latency_rounds_ == 3) {
        latency_base_ = offset;
        latency_settled_ = true;
        return;
    }
    // Clocks part by well under a millisecond a second: small steps follow
    // them. A jump held over a whole second of readings is the stream
    // having run dry after a stall of ours (the sink played silence ahead
    // of our audio): that is taken over at once.
    const int64_t drift = offset - latency_base_;
    if (drift > kLatencyJumpUs || drift < -kLatencyJumpUs) {
        written_end_us_ += drift;
        ++counts_.clock_steps;
    } else if (drift > kClockToleranceUs || drift < -kClockToleranceUs) {
        written_end_us_ += drift > 0 ? kClockStepUs : -kClockStepUs;
        ++counts_.clock_steps;
    }
}

void SpeakerJitter::note_underrun(int64_t now_us)
{
    ++counts_.underruns;
    // Until the latency readings have first set their reference the
    // stream is still settling: the sink starts it behind what it had
    // already rendered, and a refill then would stay as delay for the
    // whole call.
    if (!latency_settled_)
        return;
    written_end_us_ = std::min(written_end_us_, now_us);
    latency_count_ = 0;
    // Dry again soon after audio was counted back: the server's readings
    // themselves shifted when it ran dry, as they do at times, and read as
    // audio queued that is not. Kept, the old reference would run the
    // stream dry again a round later, every second: the next whole round
    // sets the reference again.
    if (now_us - counted_back_at_us_ < kCountedBackTrustUs) {
        counted_back_at_us_ = INT64_MIN / 2;
        latency_rounds_ = 2;
        return;
    }
    // The next reading, against the old reference, tells what of our
    // writes is still queued; while a new reference is being taken there
    // is none to hold it against.
    check_after_dry_ = latency_rounds_ >= 3;
}

size_t SpeakerJitter::pending_samples() const
{
    size_t n = 0;
    for (int i = 0; i < packet_count_; ++i)
        n += static_cast<size_t>(packets_[i].count);
    return n;
}

int64_t SpeakerJitter::ahead_us(int64_t now_us) const { return std::max<int64_t>(0, written_end_us_ - now_us); }

void SpeakerJitter::remove_packet(int index)
{
    for (int i = index; i + 1 < packet_count_; ++i)
        packets_[i] = packets_[i + 1];
    --packet_count_;
}

void SpeakerJitter::drop_front_samples(size_t n)
{
    while (n > 0 && packet_count_ > 0) {
        Packet& p = packets_[0];
        if (static_cast<size_t>(p.count) <= n) {
            n -= static_cast<size_t>(p.count);
            remove_packet(0);
            continue;
        }
        std::memmove(p.samples, p.samples + n, (static_cast<size_t>(p.count) - n) * 2);
        p.count -= static_cast<int>(n);
        n = 0;
    }
}

void SpeakerJitter::append(const int16_t* s, size_t n, bool real)
{
    n = std::min(n, static_cast<size_t>(kMaxOutSamples) - out_count_);
    if (s)
        std::memcpy(out_ + out_count_, s, n * 2);
    else
        std::memset(out_ + out_count_, 0, n * 2);
    out_count_ += n;
    if (!real || n == 0)
        return;
    conceal_pos_ = -1;
    const size_t fade = static_cast<size_t>(fade_samples_);
    if (n >= fade) {
        std::memcpy(history_, s + n - fade, fade * 2);
    } else {
        std::memmove(history_, history_ + n, (fade - n) * 2);
        std::memcpy(history_ + fade - n, s, n * 2);
    }
}

const int16_t* SpeakerJitter::tick(int64_t now_us, size_t* samples)
{
    out_count_ = 0;
    if (debt_samples_ && now_us > debt_until_us_)
        debt_samples_ = 0;
    const int64_t ahead = ahead_us(now_us);
    auto queued = [&] { return ahead + samples_us(pending_samples()); };

    if (!started_) {
        if (packet_count_ == 0) {
            *samples = 0;
            return out_;
        }
        started_ = true;
        // Silence first, so the first word plays a target from now.
        int64_t pad = target_us_ - samples_us(pending_samples());
        if (pad > 0)
            append(nullptr, static_cast<size_t>(static_cast<uint64_t>(pad) * 1000 / sample_ns_), false);
    }

    while (packet_count_ > 0 && queued() > kMaxAheadUs) {
        counts_.burst_dropped += static_cast<uint64_t>(packets_[0].count);
        remove_packet(0);
    }
    // Judged by the target before these packets came: their own lateness
    // must not make room for them.
    if (debt_samples_ && queued() > settled_target_us_) {
        size_t over = static_cast<size_t>(static_cast<uint64_t>(queued() - settled_target_us_) * 1000 / sample_ns_);
        size_t n = std::min<size_t>({static_cast<size_t>(debt_samples_), over, pending_samples()});
        drop_front_samples(n);
        debt_samples_ -= n;
        counts_.late_dropped += n;
    }
    int64_t over = queued() - target_us_;
    if (packet_count_ > 0 && over > kTrimAboveUs && now_us - last_trim_us_ >= kTrimEveryUs) {
        int quietest = 0;
        for (int i = 1; i < packet_count_; ++i)
            if (packets_[i].energy < packets_[quietest].energy)
                quietest = i;
        if (over > kTrimLoudAboveUs || packets_[quietest].energy < kQuietEnergy) {
            remove_packet(quietest);
            ++counts_.trimmed_packets;
            last_trim_us_ = now_us;
        }
    }

    for (int i = 0; i < packet_count_; ++i)
        append(packets_[i].samples, static_cast<size_t>(packets_[i].count), true);
    packet_count_ = 0;

    const int64_t base = std::max(written_end_us_, now_us);
    int64_t after = base + samples_us(out_count_) - now_us;
    if (after < kLowWaterUs) {
        // Made-up audio is where the queue can grow to a target raised by
        // the jitter seen so far.
        const int64_t fill_to = std::max(kLowWaterUs, target_us_ - kTickUs);
        size_t fill = us_samples(fill_to - after);
        fill = std::min(fill, static_cast<size_t>(kMaxOutSamples) - out_count_);
        if (conceal_pos_ < 0)
            conceal_pos_ = 0;
        // The last 10 ms twice over, fading out: the frames around a piece
        // lost on a wideband link come a frame or two late, and a fade of
        // one 10 ms left silence before them.
        const int span = 2 * fade_samples_;
        for (size_t i = 0; i < fill; ++i) {
            int16_t s = 0;
            if (conceal_pos_ < span) {
                s = static_cast<int16_t>(int32_t(history_[conceal_pos_ % fade_samples_]) * (span - conceal_pos_) / span);
                ++conceal_pos_;
            }
            out_[out_count_ + i] = s;
        }
        out_count_ += fill;
        debt_samples_ += fill;
        debt_until_us_ = now_us + kLateWindowUs;
        counts_.concealed += fill;
        ++counts_.conceal_events;
    }
    written_end_us_ = base + samples_us(out_count_);
    settled_target_us_ = target_us_;
    counts_.written += out_count_;
    *samples = out_count_;
    return out_;
}
