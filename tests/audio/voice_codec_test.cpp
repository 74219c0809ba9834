// The wideband voice path's pure pieces: H2 frames found again in a damaged
// stream, lost frames counted and concealed, and speech through libsbc and
// liblc3 at their own rates.
#include "core/h2_framing.h"
#include "core/voice_codec.h"
#include "audio_pulse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Packet i: header with sequence i, a frame whose bytes name i.
Bytes packets(int count, size_t frame_bytes, int sync, const std::function<uint8_t(int, size_t)>& fill)
{
    Bytes stream;
    H2Framer framer;
    for (int i = 0; i < count; ++i) {
        uint8_t frame[58], packet[kH2PacketBytes];
        for (size_t k = 0; k < frame_bytes; ++k)
            frame[k] = fill(i, k);
        if (sync >= 0)
            frame[0] = static_cast<uint8_t>(sync);
        framer.frame(frame, frame_bytes, packet);
        stream.insert(stream.end(), packet, packet + kH2PacketBytes);
    }
    return stream;
}

// "F<n>" for a frame whose byte 1 says n, "L" for a lost one.
std::string events(H2Deframer& d, const Bytes& stream, size_t piece)
{
    std::string out;
    for (size_t at = 0; at < stream.size(); at += piece) {
        d.push(stream.data() + at, std::min(piece, stream.size() - at));
        for (H2Deframer::Event e; (e = d.next()) != H2Deframer::Event::None;)
            out += e == H2Deframer::Event::Lost ? "L " : "F" + std::to_string(d.frame()[1]) + " ";
    }
    return out;
}

TEST(H2Framing, FramesFoundAgainAndLossesCounted)
{
    auto plain = [](int i, size_t) { return static_cast<uint8_t>(i); };
    // LC3 frames hold anything, a header's two bytes included.
    auto header_like = [](int i, size_t k) {
        const size_t at = 10 + 5 * size_t(i);
        return k == 1 ? uint8_t(i) : k == at ? uint8_t(0x01) : k == at + 1 ? uint8_t(0xC8) : uint8_t(0x80 | ((i * 31 + int(k) * 7) & 0x7F));
    };
    struct Row {
        const char* name;
        size_t frame_bytes;
        int sync;
        std::function<uint8_t(int, size_t)> fill;
        size_t piece;
        std::function<void(Bytes&)> damage;
        std::string expected;
        uint64_t lost;
    };
    const Row rows[] = {
        {"mSBC in whole packets", 57, 0xAD, plain, 60, [](Bytes&) {}, "F0 F1 F2 F3 F4 F5 ", 0},
        {"mSBC in the USB adapter's 48-byte pieces", 57, 0xAD, plain, 48, [](Bytes&) {}, "F0 F1 F2 F3 F4 F5 ", 0},
        {"a whole packet lost: one frame lost, in its place", 57, 0xAD, plain, 60,
         [](Bytes& s) { s.erase(s.begin() + 120, s.begin() + 180); }, "F0 F1 L F3 F4 F5 ", 1},
        {"three packets lost in a row", 57, 0xAD, plain, 48,
         [](Bytes& s) { s.erase(s.begin() + 60, s.begin() + 240); }, "F0 L L L F4 F5 ", 3},
        // The frame cut short is lost too: mSBC's check sum leaves its samples out.
        {"a 48-byte piece lost mid-frame: found again at the next header", 57, 0xAD, plain, 48,
         [](Bytes& s) { s.erase(s.begin() + 96, s.begin() + 144); }, "F0 L L F3 F4 F5 ", 2},
        {"a damaged header", 57, 0xAD, plain, 48, [](Bytes& s) { s[121] = 0x99; }, "F0 F1 L F3 F4 F5 ", 1},
        // Which frame the byte came in with cannot be told: the one before goes too.
        {"a stray byte inside a header", 57, 0xAD, plain, 48, [](Bytes& s) { s.insert(s.begin() + 121, 0x55); },
         "F0 L L F3 F4 F5 ", 2},
        {"noise before the first header", 57, 0xAD, plain, 48,
         [](Bytes& s) { s.insert(s.begin(), {0x01, 0x08, 0x00, 0x01, 0x38, 0x13}); }, "F0 F1 F2 F3 F4 F5 ", 0},
        {"LC3 in 48-byte pieces", 58, -1, header_like, 48, [](Bytes&) {}, "F0 F1 F2 F3 F4 F5 ", 0},
        // Without a check sum, a frame whose successor's header is not in its
        // place may have lost bytes itself: it is not trusted either.
        {"LC3 shifted: headers inside frames do not fool the search", 58, -1, header_like, 48,
         [](Bytes& s) { s.erase(s.begin() + 181, s.begin() + 184); }, "F0 F1 L L F4 F5 ", 2},
        // The frame cut short ends where the piece before the gap did: it
        // waits for the next header to be judged by, and is not trusted.
        {"LC3 after a lost piece: the frame cut short lost too", 58, -1, header_like, 48,
         [](Bytes& s) { s.erase(s.begin() + 200, s.begin() + 248); }, "F0 F1 F2 L L F5 ", 2},
        {"LC3 with a damaged header: the frames around it kept", 58, -1, header_like, 48,
         [](Bytes& s) { s[181] = 0x99; }, "F0 F1 F2 L F4 F5 ", 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // A seventh packet, whose header vouches for the sixth frame.
        Bytes stream = packets(7, row.frame_bytes, row.sync, row.fill);
        row.damage(stream);
        H2Deframer d(row.frame_bytes, row.sync);
        EXPECT_EQ(events(d, stream, row.piece), row.expected);
        EXPECT_EQ(d.lost_frames(), row.lost);
    }
}

TEST(H2Framing, HeadersCarryTheSequenceModuloFour)
{
    for (int seq = 0; seq < 9; ++seq) {
        uint8_t h[2];
        h2_header(seq, h);
        EXPECT_EQ(h[0], 0x01);
        EXPECT_EQ(h2_sequence(h[0], h[1]), seq % 4);
    }
    EXPECT_EQ(h2_sequence(0x01, 0x09), -1);
    EXPECT_EQ(h2_sequence(0x02, 0x08), -1);
}

// A loss repeats the last frame fading out over two frames, then silence;
// the frame after fades back in; nothing jumps.
TEST(FadeConcealer, LostFramesFadeOutAndBackIn)
{
    constexpr int n = 120;
    FadeConcealer c(n);
    std::vector<int16_t> a(n, 1000), out(n), next(n, 2000);
    c.good(a.data());
    EXPECT_EQ(a, std::vector<int16_t>(n, 1000)) << "a frame after a good one is left alone";
    const struct { const char* name; std::function<int16_t(int)> expected; } rows[] = {
        {"first loss: the last frame, fading to half", [](int i) { return int16_t(1000 * (2 * n - i) / (2 * n)); }},
        {"second loss: the last frame again, fading from half", [](int i) { return int16_t(1000 * (n - i) / (2 * n)); }},
        {"third loss: silence", [](int) { return int16_t(0); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        c.lost(out.data());
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(out[i], row.expected(i)) << i;
    }
    c.good(next.data());
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(next[i], int16_t(2000 * i / n)) << i;
}

// Longest run of near-silence, in ms, after the first 20 ms (the codecs' delay).
double longest_gap_ms(const std::vector<int16_t>& s, int rate)
{
    size_t run = 0, longest = 0;
    for (size_t i = static_cast<size_t>(rate / 50); i < s.size(); ++i)
        longest = std::max(longest, run = std::abs(int(s[i])) < 300 ? run + 1 : 0);
    return double(longest) * 1000 / rate;
}

// A tone only the codec's band can carry goes through encoder, 48-byte
// link pieces and decoder; dropped packets are counted and concealed.
TEST(VoiceCodec, TonesThroughTheCodecsAndTheirLosses)
{
    const struct {
        VoiceCodec codec;
        double tone;
        double loss;
        double max_gap_ms;
        size_t lost_piece = 60;   // bytes lost together: a codec packet, or the air's 48
    } rows[] = {
        {VoiceCodec::MSBC, 6000, 0, 0}, {VoiceCodec::LC3_SWB, 12000, 0, 0},
        {VoiceCodec::MSBC, 6000, 0.01, 5}, {VoiceCodec::LC3_SWB, 12000, 0.01, 5},
        {VoiceCodec::MSBC, 6000, 0.01, 5, 48}, {VoiceCodec::LC3_SWB, 12000, 0.01, 5, 48},
        {VoiceCodec::CVSD, 1000, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(codec_label(row.codec)) + " loss " + std::to_string(row.loss) + " in pieces of " +
                     std::to_string(row.lost_piece));
        const int rate = codec_rate(row.codec);
        std::vector<int16_t> pcm(static_cast<size_t>(rate) * 2);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * row.tone * double(i) / rate));
        VoiceEncoder enc(row.codec);
        Bytes link(pcm.size() * 2 + 120);
        link.resize(enc.encode(pcm.data(), pcm.size(), link.data(), link.size()));
        const size_t frame = size_t(std::max(1, codec_frame_samples(row.codec)));
        EXPECT_EQ(link.size(), row.codec == VoiceCodec::CVSD ? pcm.size() * 2 : pcm.size() / frame * 60);
        // Whole pieces dropped at random, as a radio loses them; a codec
        // packet touched by a lost piece is lost.
        std::mt19937 random(7);
        Bytes received;
        std::set<size_t> lost_packets;
        for (size_t at = 0; at < link.size(); at += row.lost_piece) {
            const size_t end = std::min(at + row.lost_piece, link.size());
            if (at > 0 && std::uniform_real_distribution<>(0, 1)(random) < row.loss) {
                for (size_t packet = at / 60; packet * 60 < end; ++packet)
                    lost_packets.insert(packet);
                continue;
            }
            received.insert(received.end(), link.begin() + long(at), link.begin() + long(end));
        }
        const int dropped = static_cast<int>(lost_packets.size());
        VoiceDecoder dec(row.codec);
        std::vector<int16_t> heard;
        int16_t out[1024];
        for (size_t at = 0; at < received.size(); at += 48) {
            size_t n = dec.decode(received.data() + at, std::min<size_t>(48, received.size() - at), out, 1024);
            heard.insert(heard.end(), out, out + n);
        }
        // Short of the encoder's unfinished frame and the last one, which
        // waits for a header after it.
        EXPECT_GE(heard.size() + 2 * size_t(codec_frame_samples(row.codec)), pcm.size());
        EXPECT_GT(th::tone_share(heard, row.tone, rate), 0.8);
        EXPECT_EQ(dec.lost_frames(), uint64_t(dropped));
        EXPECT_TRUE(row.loss == 0 || dropped > 0);
        EXPECT_LE(longest_gap_ms(heard, rate), row.max_gap_ms + 1.5);
    }
}

}  // namespace
