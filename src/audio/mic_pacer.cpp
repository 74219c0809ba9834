#include "audio/mic_pacer.h"

#include <algorithm>
#include <cstring>

void MicPacer::add_recorded(const char* data, size_t bytes)
{
    if (bytes >= kCapacity) {
        dropped_ += size_ + bytes - kKeepBytes;
        data += bytes - kKeepBytes;
        bytes = kKeepBytes;
        size_ = 0;
    }
    if (size_ + bytes > kCapacity) {
        size_t cut = size_ + bytes - kCapacity;
        std::memmove(buffer_, buffer_ + cut, size_ - cut);
        size_ -= cut;
        dropped_ += cut;
    }
    std::memcpy(buffer_ + size_, data, bytes);
    size_ += bytes;
    const size_t keep = std::max(kKeepBytes, mtu_);
    if (size_ > std::max(kDropAboveBytes, keep + 2 * mtu_)) {
        // Keep the newest, on a sample boundary.
        size_t cut = (size_ - keep) & ~size_t{1};
        std::memmove(buffer_, buffer_ + cut, size_ - cut);
        size_ -= cut;
        dropped_ += cut;
    }
}

int MicPacer::due(uint64_t phone_packets, int64_t now_us)
{
    // Our own clock allows the link's rate and no burst beyond a little
    // slack: the phone's packets from the time we stalled belong to air
    // slots that have passed.
    if (clock_started_) {
        const int64_t packet_us = static_cast<int64_t>(mtu_) * 1000 / static_cast<int64_t>(kBytesPerMs);
        clock_us_ += std::max<int64_t>(0, now_us - last_call_us_) * 1001 / 1000;   // room for the phone's clock
        allowance_ = std::min(kMaxCredit, allowance_ + static_cast<uint64_t>(clock_us_ / packet_us));
        clock_us_ %= packet_us;
    }
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
