#include "core/h2_framing.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kSequenceBytes[4] = {0x08, 0x38, 0xC8, 0xF8};

}  // namespace

void h2_header(int seq, uint8_t out[2])
{
    out[0] = 0x01;
    out[1] = kSequenceBytes[seq & 3];
}

int h2_sequence(uint8_t first, uint8_t second)
{
    if (first != 0x01)
        return -1;
    for (int i = 0; i < 4; ++i)
        if (second == kSequenceBytes[i])
            return i;
    return -1;
}

void H2Framer::frame(const uint8_t* frame, size_t frame_bytes, uint8_t* out)
{
    frame_bytes = std::min(frame_bytes, kH2PacketBytes - 2);
    h2_header(seq_++, out);
    std::memcpy(out + 2, frame, frame_bytes);
    std::memset(out + 2 + frame_bytes, 0, kH2PacketBytes - 2 - frame_bytes);
}

H2Deframer::H2Deframer(size_t frame_bytes, int sync)
    : frame_bytes_(std::min(frame_bytes, kH2PacketBytes - 2)), sync_(sync)
{
}

void H2Deframer::push(const uint8_t* data, size_t bytes)
{
    if (bytes >= kCapacity) {
        skipped_ += size_ + bytes - kCapacity;
        data += bytes - kCapacity;
        bytes = kCapacity;
        size_ = 0;
    } else if (size_ + bytes > kCapacity) {
        // Nobody took the frames out: the oldest go.
        skipped_ += size_ + bytes - kCapacity;
        drop(size_ + bytes - kCapacity);
    }
    std::memcpy(buffer_ + size_, data, bytes);
    size_ += bytes;
}

void H2Deframer::drop(size_t bytes)
{
    bytes = std::min(bytes, size_);
    std::memmove(buffer_, buffer_ + bytes, size_ - bytes);
    size_ -= bytes;
}

bool H2Deframer::header_at(size_t at) const
{
    return h2_sequence(buffer_[at], buffer_[at + 1]) >= 0 && (sync_ < 0 || buffer_[at + 2] == sync_);
}

H2Deframer::Event H2Deframer::next()
{
    // Frames lost go out before the frame that showed them missing.
    if (pending_lost_ > 0) {
        --pending_lost_;
        ++lost_;
        return Event::Lost;
    }
    if (frame_ready_) {
        frame_ready_ = false;
        ++frames_;
        return Event::Frame;
    }
    for (;;) {
        if (size_ < 3)
            return Event::None;
        if (header_at(0)) {
            // A frame is only as good as the next packet's header being
            // where it should be: neither codec's own check covers a frame
            // that lost bytes on the way (LC3 has none, mSBC's covers its
            // header and scale factors, not its samples), and decoded it
            // is noise. Nor is 01 08 inside an LC3 frame rare enough to
            // hunt by. Waiting for those two bytes holds back only a frame
            // that ends where a piece of the link does: one in four, for
            // one air packet.
            if (size_ < kH2PacketBytes + 2)
                return Event::None;
            const int seq = h2_sequence(buffer_[0], buffer_[1]);
            if (h2_sequence(buffer_[kH2PacketBytes], buffer_[kH2PacketBytes + 1]) < 0) {
                // A header damaged where it stands leaves the one after it
                // in place: the frame before it is whole.
                if (size_ < 2 * kH2PacketBytes + 2)
                    return Event::None;
                if (h2_sequence(buffer_[2 * kH2PacketBytes], buffer_[2 * kH2PacketBytes + 1]) != ((seq + 2) & 3)) {
                    drop(1);
                    ++skipped_;
                    continue;
                }
            }
            if (last_seq_ >= 0)
                pending_lost_ = (seq - last_seq_ - 1) & 3;
            last_seq_ = seq;
            std::memcpy(frame_, buffer_ + 2, frame_bytes_);
            drop(kH2PacketBytes);
            frame_ready_ = true;
            return next();
        }
        // Damaged or shifted: what was at the header's place belonged to a
        // frame now lost, counted by the next one's sequence number.
        size_t at = 1;
        while (at + 1 < size_ && h2_sequence(buffer_[at], buffer_[at + 1]) < 0)
            ++at;
        skipped_ += at;
        drop(at);
    }
}
