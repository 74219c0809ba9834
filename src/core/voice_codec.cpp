#include "core/voice_codec.h"

#include <lc3.h>
#include <sbc/sbc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFrameUs = 7500;
constexpr size_t kMsbcFrameBytes = 57;
constexpr size_t kLc3FrameBytes = 58;
constexpr int kMsbcSync = 0xAD;

size_t frame_bytes(VoiceCodec codec) { return codec == VoiceCodec::LC3_SWB ? kLc3FrameBytes : kMsbcFrameBytes; }

}  // namespace

int codec_rate(VoiceCodec codec)
{
    switch (codec) {
    case VoiceCodec::MSBC: return 16000;
    case VoiceCodec::LC3_SWB: return 32000;
    default: return 8000;
    }
}

int codec_frame_samples(VoiceCodec codec) { return codec == VoiceCodec::CVSD ? 0 : codec_rate(codec) * kFrameUs / 1000000; }

const char* codec_name(VoiceCodec codec)
{
    switch (codec) {
    case VoiceCodec::MSBC: return "mSBC";
    case VoiceCodec::LC3_SWB: return "LC3-SWB";
    default: return "CVSD";
    }
}

const char* codec_label(VoiceCodec codec)
{
    switch (codec) {
    case VoiceCodec::MSBC: return "🎧 HD voice (mSBC)";
    case VoiceCodec::LC3_SWB: return "🎧 Super-wideband (LC3)";
    default: return "🎧 Narrowband (CVSD)";
    }
}

bool codec_transparent(VoiceCodec codec) { return codec != VoiceCodec::CVSD; }

int codec_link_bytes_per_ms(VoiceCodec codec) { return codec == VoiceCodec::CVSD ? 16 : 8; }

void FadeConcealer::good(int16_t* frame)
{
    if (lost_run_ > 0) {
        for (int i = 0; i < n_; ++i)
            frame[i] = static_cast<int16_t>(int32_t(frame[i]) * i / n_);
    }
    lost_run_ = 0;
    std::memcpy(last_, frame, static_cast<size_t>(n_) * 2);
}

void FadeConcealer::lost(int16_t* out)
{
    // A piece lost on the air takes two frames with it, the one it cut
    // short and the next, whose header it held: the fade spans two.
    const int run = lost_run_++;
    if (run >= 2) {
        std::memset(out, 0, static_cast<size_t>(n_) * 2);
        return;
    }
    for (int i = 0; i < n_; ++i)
        out[i] = static_cast<int16_t>(int32_t(last_[i]) * ((2 - run) * n_ - i) / (2 * n_));
}

struct VoiceDecoder::Impl {
    sbc_t sbc{};
    bool sbc_ready = false;
    void* lc3_mem = nullptr;
    lc3_decoder_t lc3 = nullptr;
};

VoiceDecoder::VoiceDecoder(VoiceCodec codec)
    : codec_(codec),
      deframer_(frame_bytes(codec), codec == VoiceCodec::MSBC ? kMsbcSync : -1),
      impl_(std::make_unique<Impl>()),
      fade_(std::max(1, codec_frame_samples(codec)))
{
    if (codec == VoiceCodec::MSBC) {
        impl_->sbc_ready = sbc_init_msbc(&impl_->sbc, 0) == 0;
        impl_->sbc.endian = SBC_LE;
    } else if (codec == VoiceCodec::LC3_SWB) {
        impl_->lc3_mem = std::malloc(lc3_decoder_size(kFrameUs, 32000));
        if (impl_->lc3_mem)
            impl_->lc3 = lc3_setup_decoder(kFrameUs, 32000, 0, impl_->lc3_mem);
    }
}

VoiceDecoder::~VoiceDecoder()
{
    if (impl_->sbc_ready)
        sbc_finish(&impl_->sbc);
    std::free(impl_->lc3_mem);
}

uint64_t VoiceDecoder::lost_frames() const { return deframer_.lost_frames() + bad_; }

size_t VoiceDecoder::conceal(int16_t* out)
{
    const int n = codec_frame_samples(codec_);
    if (codec_ == VoiceCodec::LC3_SWB && impl_->lc3) {
        lc3_decode(impl_->lc3, nullptr, 0, LC3_PCM_FORMAT_S16, out, 1);
        return static_cast<size_t>(n);
    }
    fade_.lost(out);
    return static_cast<size_t>(n);
}

size_t VoiceDecoder::decode_frame(const uint8_t* frame, int16_t* out)
{
    const int n = codec_frame_samples(codec_);
    if (codec_ == VoiceCodec::MSBC && impl_->sbc_ready) {
        size_t written = 0;
        ssize_t used = sbc_decode(&impl_->sbc, frame, kMsbcFrameBytes, out, static_cast<size_t>(n) * 2, &written);
        if (used > 0 && written == static_cast<size_t>(n) * 2) {
            fade_.good(out);
            return static_cast<size_t>(n);
        }
    } else if (codec_ == VoiceCodec::LC3_SWB && impl_->lc3) {
        if (lc3_decode(impl_->lc3, frame, static_cast<int>(kLc3FrameBytes), LC3_PCM_FORMAT_S16, out, 1) == 0)
            return static_cast<size_t>(n);
    }
    // Damaged on the way (its check sum failed): as good as lost.
    ++bad_;
    return conceal(out);
}

size_t VoiceDecoder::decode(const uint8_t* data, size_t bytes, int16_t* out, size_t out_cap)
{
    if (codec_ == VoiceCodec::CVSD) {
        const size_t n = std::min(bytes / 2, out_cap);
        std::memcpy(out, data, n * 2);
        return n;
    }
    const size_t frame = static_cast<size_t>(codec_frame_samples(codec_));
    size_t written = 0;
    // Several pieces of the stream may be queued at once: feed what fits.
    while (bytes > 0) {
        const size_t take = std::min<size_t>(bytes, kH2PacketBytes);
        deframer_.push(data, take);
        data += take;
        bytes -= take;
        for (H2Deframer::Event e; written + frame <= out_cap && (e = deframer_.next()) != H2Deframer::Event::None;)
            written += e == H2Deframer::Event::Frame ? decode_frame(deframer_.frame(), out + written)
                                                     : conceal(out + written);
    }
    return written;
}

struct VoiceEncoder::Impl {
    sbc_t sbc{};
    bool sbc_ready = false;
    void* lc3_mem = nullptr;
    lc3_encoder_t lc3 = nullptr;
};

VoiceEncoder::VoiceEncoder(VoiceCodec codec) : codec_(codec), impl_(std::make_unique<Impl>())
{
    if (codec == VoiceCodec::MSBC) {
        impl_->sbc_ready = sbc_init_msbc(&impl_->sbc, 0) == 0;
        impl_->sbc.endian = SBC_LE;
    } else if (codec == VoiceCodec::LC3_SWB) {
        impl_->lc3_mem = std::malloc(lc3_encoder_size(kFrameUs, 32000));
        if (impl_->lc3_mem)
            impl_->lc3 = lc3_setup_encoder(kFrameUs, 32000, 0, impl_->lc3_mem);
    }
}

VoiceEncoder::~VoiceEncoder()
{
    if (impl_->sbc_ready)
        sbc_finish(&impl_->sbc);
    std::free(impl_->lc3_mem);
}

size_t VoiceEncoder::encode(const int16_t* pcm, size_t samples, uint8_t* out, size_t out_cap)
{
    if (codec_ == VoiceCodec::CVSD) {
        const size_t n = std::min(samples, out_cap / 2);
        std::memcpy(out, pcm, n * 2);
        return n * 2;
    }
    const size_t frame = static_cast<size_t>(codec_frame_samples(codec_));
    size_t written = 0;
    while (samples > 0) {
        const size_t take = std::min(samples, frame - pending_count_);
        std::memcpy(pending_ + pending_count_, pcm, take * 2);
        pending_count_ += take;
        pcm += take;
        samples -= take;
        if (pending_count_ < frame)
            break;
        pending_count_ = 0;
        if (written + kH2PacketBytes > out_cap)
            continue;   // no room: the frame is lost, as on a full link
        uint8_t coded[kH2PacketBytes] = {};
        bool ok = false;
        if (codec_ == VoiceCodec::MSBC && impl_->sbc_ready) {
            ssize_t coded_bytes = 0;
            ok = sbc_encode(&impl_->sbc, pending_, frame * 2, coded, kMsbcFrameBytes, &coded_bytes) > 0 &&
                 coded_bytes == static_cast<ssize_t>(kMsbcFrameBytes);
        } else if (codec_ == VoiceCodec::LC3_SWB && impl_->lc3) {
            ok = lc3_encode(impl_->lc3, LC3_PCM_FORMAT_S16, pending_, 1, static_cast<int>(kLc3FrameBytes), coded) == 0;
        }
        if (!ok)
            continue;
        framer_.frame(coded, frame_bytes(codec_), out + written);
        written += kH2PacketBytes;
    }
    return written;
}
