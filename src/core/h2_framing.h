// Transparent voice links carry each codec frame behind a two-byte
// synchronisation header, 01 then 08/38/c8/f8 for the sequence numbers 0-3,
// in 60-byte packets. The link hands the stream over in pieces of its own
// size (48 bytes on USB adapters), and bytes get lost or damaged on the air:
// the deframer finds the frames again and counts the ones missing. Pure.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t kH2PacketBytes = 60;

// The header for sequence number seq (taken modulo 4).
void h2_header(int seq, uint8_t out[2]);
// The sequence number of a header, or -1 when the two bytes are none.
int h2_sequence(uint8_t first, uint8_t second);

// Frames out, one packet each: header, frame, zero padding to 60 bytes.
class H2Framer {
public:
    // out holds kH2PacketBytes; frame_bytes is at most 58.
    void frame(const uint8_t* frame, size_t frame_bytes, uint8_t* out);

private:
    int seq_ = 0;
};

class H2Deframer {
public:
    enum class Event { None, Frame, Lost };

    // frame_bytes: 57 for mSBC, 58 for LC3-SWB. sync: the byte every frame
    // starts with (0xAD for mSBC), or -1 when the codec has none.
    H2Deframer(size_t frame_bytes, int sync);

    // Bytes off the link, in whatever pieces they came.
    void push(const uint8_t* data, size_t bytes);
    // The next event, oldest first: a whole frame (frame() holds it until
    // the next call), one frame lost (a gap in the sequence numbers), or
    // nothing until more bytes come.
    Event next();
    const uint8_t* frame() const { return frame_; }

    uint64_t frames() const { return frames_; }
    uint64_t lost_frames() const { return lost_; }
    uint64_t skipped_bytes() const { return skipped_; }

private:
    bool header_at(size_t at) const;
    void drop(size_t bytes);

    static constexpr size_t kCapacity = 4 * kH2PacketBytes;
    size_t frame_bytes_;
    int sync_;
    uint8_t buffer_[kCapacity];
    size_t size_ = 0;
    uint8_t frame_[kH2PacketBytes];
    bool frame_ready_ = false;
    int pending_lost_ = 0;
    int last_seq_ = -1;
    uint64_t frames_ = 0, lost_ = 0, skipped_ = 0;
};
