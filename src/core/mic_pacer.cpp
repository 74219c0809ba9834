#include "core/mic_pacer.h"

#include <algorithm>
#include <cstring>

void MicPacer::drop_oldest(size_t bytes)
{
    bytes = std::min(size_, (bytes + unit_ - 1) / unit_ * unit_);   // on a sample or packet boundary
    std::memmove(buffer_, buffer_ + bytes, size_ - bytes);
    size_ -= bytes;
    dropped_ += bytes;
}

void MicPacer::trim_standing_queue()
{
    // Called before each read's data goes in: what is queued now is what
    // the sends since the last read left behind.
    standing_min_ = std::min(standing_min_, size_);
    if (++standing_reads_ < kStandingWindowReads)
        return;
    const size_t keep = kStandingPackets * mtu_;
    if (standing_min_ > keep)
        drop_oldest(standing_min_ - keep);
    standing_min_ = kCapacity;
    standing_reads_ = 0;
}

void MicPacer::add_recorded(const char* data, size_t bytes)
{
    trim_standing_queue();
    if (bytes >= kCapacity) {
        dropped_ += size_ + bytes - keep_;
        data += bytes - keep_;
        bytes = keep_;
        size_ = 0;
    }
    if (size_ + bytes > kCapacity)
        drop_oldest(size_ + bytes - kCapacity);
    std::memcpy(buffer_ + size_, data, bytes);
    size_ += bytes;
    const size_t keep = std::max(keep_, mtu_);
    if (size_ > std::max(drop_above_, keep + 2 * mtu_))
        drop_oldest(size_ - keep);   // the newest stay
}

int MicPacer::due(uint64_t phone_packets, int64_t now_us)
{
    // Our own clock allows the link's rate and no burst beyond a little
    // slack: the phone's packets from the time we stalled belong to air
    // slots that have passed.
    const int64_t packet_us = static_cast<int64_t>(mtu_) * 1000 / static_cast<int64_t>(bytes_per_ms_);
    const bool stalled = clock_started_ && now_us - last_call_us_ > kStallUs;
    if (clock_started_) {
        const int64_t elapsed = stalled ? kTickUs : std::max<int64_t>(0, now_us - last_call_us_);
        clock_us_ += elapsed * 1001 / 1000;   // room for the phone's clock
        allowance_ = std::min(kMaxCredit, allowance_ + static_cast<uint64_t>(clock_us_ / packet_us));
        clock_us_ %= packet_us;
    }
    if (stalled)
        allowance_ = std::min<uint64_t>(allowance_, static_cast<uint64_t>((kTickUs + packet_us - 1) / packet_us));
    clock_started_ = true;
    last_call_us_ = now_us;
    const uint64_t whole = size_ / mtu_;
    if (phone_packets > seen_phone_packets_) {
        credit_ += phone_packets - seen_phone_packets_;
        seen_phone_packets_ = phone_packets;
        phone_heard_ = true;
        last_phone_us_ = now_us;
    }
    if (!phone_heard_ || now_us - last_phone_us_ > kPhoneSilentUs)
        return static_cast<int>(std::min(whole, allowance_));
    credit_ = std::min(credit_, allowance_);
    return static_cast<int>(std::min(whole, credit_));
}

void MicPacer::sent(size_t packets)
{
    packets = std::min(packets, size_ / mtu_);
    const size_t bytes = packets * mtu_;
    std::memmove(buffer_, buffer_ + bytes, size_ - bytes);
    size_ -= bytes;
    credit_ -= std::min<uint64_t>(credit_, packets);
    allowance_ -= std::min<uint64_t>(allowance_, packets);
}
