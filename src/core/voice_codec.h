// The call's speech codec: CVSD (the controller codes 8 kHz PCM itself),
// mSBC (16 kHz, libsbc) or LC3-SWB (32 kHz, liblc3), the last two in H2
// frames over a transparent link. Link bytes in, PCM at the codec's rate
// out, and back.
#pragma once
#include "core/h2_framing.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// The numbers the hands-free AT commands use for them.
enum class VoiceCodec { CVSD = 1, MSBC = 2, LC3_SWB = 3 };

int codec_rate(VoiceCodec codec);
// PCM samples in one codec frame (7.5 ms); CVSD has no frames.
int codec_frame_samples(VoiceCodec codec);
// "CVSD", "mSBC", "LC3-SWB".
const char* codec_name(VoiceCodec codec);
// What the window and the log say about a call in it.
const char* codec_label(VoiceCodec codec);
// Whether the link must be set up transparent for it.
bool codec_transparent(VoiceCodec codec);
// Link bytes a millisecond: 16-bit PCM for CVSD, 64 kbit/s transparent.
int codec_link_bytes_per_ms(VoiceCodec codec);

// mSBC has no concealment of its own: lost frames repeat the last one,
// fading out over two frames, then silence; the first frame after fades
// back in, so a loss is never a click. Pure.
class FadeConcealer {
public:
    explicit FadeConcealer(int frame_samples) : n_(frame_samples) {}
    // A decoded frame, in place (faded in after a loss).
    void good(int16_t* frame);
    void lost(int16_t* out);

private:
    static constexpr int kMaxFrame = 240;
    int n_;
    int16_t last_[kMaxFrame] = {};
    int lost_run_ = 0;
};

class VoiceDecoder {
public:
    explicit VoiceDecoder(VoiceCodec codec);
    ~VoiceDecoder();
    VoiceDecoder(const VoiceDecoder&) = delete;
    VoiceDecoder& operator=(const VoiceDecoder&) = delete;

    VoiceCodec codec() const { return codec_; }
    // Bytes off the link; samples of PCM written to out (at most out_cap),
    // concealed frames included.
    size_t decode(const uint8_t* data, size_t bytes, int16_t* out, size_t out_cap);
    // Frames missing from the link, and frames that came but would not decode.
    uint64_t lost_frames() const;
    uint64_t bad_frames() const { return bad_; }

private:
    size_t decode_frame(const uint8_t* frame, int16_t* out);
    size_t conceal(int16_t* out);

    VoiceCodec codec_;
    H2Deframer deframer_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    FadeConcealer fade_;
    uint64_t bad_ = 0;
};

class VoiceEncoder {
public:
    explicit VoiceEncoder(VoiceCodec codec);
    ~VoiceEncoder();
    VoiceEncoder(const VoiceEncoder&) = delete;
    VoiceEncoder& operator=(const VoiceEncoder&) = delete;

    // PCM at the codec's rate in; link bytes out (at most out_cap), whole
    // packets only. Samples short of a frame wait for the next call.
    size_t encode(const int16_t* pcm, size_t samples, uint8_t* out, size_t out_cap);

private:
    VoiceCodec codec_;
    H2Framer framer_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int16_t pending_[240];
    size_t pending_count_ = 0;
};
