// The pumps move real audio between a SCO-like socket and a real PulseAudio
// server: the phone's tone must come out of the sink, the "microphone" tone
// must reach the phone, and every way a call ends must leave nothing behind.
#include "audio/aec.h"
#include "audio/mic_pacer.h"
#include "audio/pumps.h"
#include "audio/sco.h"
#include "audio/speaker_jitter.h"
#include "audio/voice_link.h"
#include "audio_log_capture.h"
#include "audio_phone.h"
#include "audio_pulse.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <tuple>

namespace {

using th::ScoPeer;

// Both pumps on one end of a socketpair, as sco_connect would start them.
class Pumps {
public:
    explicit Pumps(int fd, int mtu = 48)
    {
        sco_mtu.store(mtu);
        sco_socket.store(fd);
        sco_audio_running.store(1);
        sco_start_pumps();
    }
    ~Pumps() { stop(); }
    void stop()
    {
        if (joined_)
            return;
        stop_sco_audio(nullptr);
        join();
    }
    void join()
    {
        EXPECT_EQ(sco_reap_pump_threads(true), 0);
        joined_ = true;
    }

private:
    bool joined_ = false;
};

struct Link {
    int host = -1, phone = -1;
    Link()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) == 0) {
            host = sv[0];
            phone = sv[1];
        }
    }
};

int16_t tone(uint64_t i, double f) { return static_cast<int16_t>(8000 * std::sin(2 * M_PI * f * double(i) / 8000)); }

// A sound server, the log, and a phone sending a tone over the link.
struct TonePhone {
    explicit TonePhone(double hz)
    {
        phone.start_sending([hz](uint64_t i) { return tone(i, hz); });
    }
    th::PulseServer pulse;
    th::StdoutCapture log;
    Link link;
    ScoPeer phone{link.phone};
};

TEST(AudioPumps, CallCarriesAudioBothWaysAndStopsWithTheCall)
{
    TonePhone w(1000);
    ASSERT_GE(w.link.host, 0);
    th::SignalPlayer mic(w.pulse.server(), "mic", 440);

    Pumps pumps(w.link.host);
    ASSERT_TRUE(w.log.wait_for("🎤 Microphone active - your voice going to phone")) << w.log.text();
    ASSERT_TRUE(w.log.wait_for("🔊 Speaker active - phone audio coming")) << w.log.text();
    ASSERT_TRUE(th::wait_until([&] { return w.phone.received_count() > 8000; }, 8000));

    // The phone's 1 kHz tone plays out of the default sink.
    std::vector<int16_t> heard = th::record_source(w.pulse.server(), "null.monitor", 400);
    EXPECT_GT(th::tone_share(heard, 1000), 0.5) << "rms " << th::rms(heard);
    // The microphone's 440 Hz reaches the phone, one MTU per packet.
    uint64_t mark = w.phone.received_count();
    ASSERT_TRUE(th::wait_until([&] { return w.phone.received_count() > mark + 3200; }, 5000));
    std::vector<int16_t> sent = w.phone.received_since(mark);
    EXPECT_GT(th::tone_share(sent, 440), 0.5) << "rms " << th::rms(sent);
    for (const auto& p : w.phone.received_packets())
        ASSERT_EQ(p.bytes, 48u);
    EXPECT_EQ(w.pulse.client_streams("sink-inputs", "TELVANE"), 1);
    EXPECT_EQ(w.pulse.client_streams("source-outputs", "Telvane"), 1);

    pumps.stop();
    EXPECT_EQ(sco_socket.load(), -1);
    EXPECT_EQ(pulse_playback.load(), nullptr);
    EXPECT_EQ(pulse_capture.load(), nullptr);
    ASSERT_TRUE(th::wait_until([&] { return w.phone.link_closed_by_host(); }, 3000));
    ASSERT_TRUE(w.log.wait_for("🔇 Microphone closed"));
    ASSERT_TRUE(w.log.wait_for("🔇 Speaker closed"));
    std::string out = w.log.text();
    EXPECT_EQ(out.find("⚠️"), std::string::npos) << out;
    EXPECT_EQ(w.pulse.client_streams("source-outputs", "Telvane"), 0);
    EXPECT_EQ(w.pulse.client_streams("sink-inputs", "TELVANE"), 0);

    // Nothing of the phone plays any more.
    std::vector<int16_t> after = th::record_source(w.pulse.server(), "null.monitor", 200);
    EXPECT_LT(th::rms(after), 50) << "the phone's tone outlived the call";
}

// The speaker's delay as the server reports it, in ms, or -1.
double speaker_latency_ms(const th::PulseServer& pulse)
{
    std::string list = pulse.pactl("list sink-inputs");
    size_t buffer = list.find("Buffer Latency: "), sink = list.find("Sink Latency: ");
    if (buffer == std::string::npos || sink == std::string::npos)
        return -1;
    return (std::atof(list.c_str() + buffer + 16) + std::atof(list.c_str() + sink + 14)) / 1000;
}

// Bytes the phone has sent that the pump has not yet taken off the link.
int queued_on_link(int phone_fd)
{
    int queued = 0;
    return ioctl(phone_fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

TEST(AudioPumps, SpeakerCatchesUpAfterTheLinkDeliversABurst)
{
    TonePhone w(1000);
    ASSERT_GE(w.link.host, 0);
    Pumps pumps(w.link.host);
    ASSERT_TRUE(w.log.wait_for("🔊 Speaker active - phone audio coming")) << w.log.text();
    ASSERT_TRUE(th::wait_until([&] { return speaker_latency_ms(w.pulse) > 0; }, 3000));
    const int steady_queue = queued_on_link(w.link.phone);

    // 300 ms of audio at once, as after the PC stalled and the phone's
    // packets piled up: left alone, it would stay queued as delay for the
    // rest of the call.
    std::vector<int16_t> packet(24, 3000);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(send(w.link.phone, packet.data(), 48, MSG_NOSIGNAL), 48);
    EXPECT_GT(queued_on_link(w.link.phone), steady_queue + 20000);

    EXPECT_TRUE(th::wait_until([&] { return queued_on_link(w.link.phone) <= steady_queue + 8192; }, 3000))
        << queued_on_link(w.link.phone) << " bytes still queued";
    EXPECT_TRUE(th::wait_until([&] { return speaker_latency_ms(w.pulse) < 60; }, 3000))
        << speaker_latency_ms(w.pulse) << " ms";
    EXPECT_EQ(w.log.text().find("⚠️"), std::string::npos) << w.log.text();
}

TEST(AudioPumps, PhoneClosingTheLinkEndsBothPumpsWithOneSendError)
{
    TonePhone w(700);
    Pumps pumps(w.link.host);
    ASSERT_TRUE(th::wait_until([&] { return w.phone.received_count() > 1600; }, 8000)) << w.log.text();

    w.phone.close_link();
    pumps.join();   // both end by themselves
    ASSERT_TRUE(w.log.wait_for("🔇 Microphone closed")) << w.log.text();
    ASSERT_TRUE(w.log.wait_for("🔇 Speaker closed")) << w.log.text();

    EXPECT_EQ(w.log.count("⚠️ Microphone send error: "), 1) << w.log.text();
    EXPECT_EQ(w.log.count("🔇 SCO closed (remote closed)"), 1) << w.log.text();
    std::vector<std::string> lines = w.log.lines();
    auto at = [&](const std::string& m) {
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(m, 0) == 0)
                return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(at("⚠️ Microphone send error: "), at("🔇 SCO closed (remote closed)"));
    EXPECT_LT(at("🔇 SCO closed (remote closed)"), at("🔇 Microphone closed"));
    EXPECT_EQ(sco_socket.load(), -1);
    EXPECT_EQ(sco_audio_running.load(), 0);
    EXPECT_EQ(w.pulse.client_streams("source-outputs", "Telvane"), 0);
    EXPECT_EQ(w.pulse.client_streams("sink-inputs", "TELVANE"), 0);
}

TEST(AudioPumps, SoundServerUnavailableLeavesTheLinkUp)
{
    th::TempDir nowhere;
    setenv("PULSE_SERVER", ("unix:" + nowhere.file("none")).c_str(), 1);
    th::StdoutCapture log;
    Link link;
    ScoPeer phone(link.phone);
    Pumps pumps(link.host);
    pumps.join();
    ASSERT_TRUE(log.wait_for("⚠️ Microphone could not be opened: ")) << log.text();
    ASSERT_TRUE(log.wait_for("⚠️ Speaker could not be opened: ")) << log.text();
    // No end lines for pumps that never opened; the call itself goes on.
    EXPECT_EQ(log.count("closed"), 0) << log.text();
    EXPECT_EQ(sco_audio_running.load(), 1);
    EXPECT_GE(sco_socket.load(), 0);
    EXPECT_FALSE(phone.link_closed_by_host());
    stop_sco_audio(nullptr);
    EXPECT_TRUE(th::wait_until([&] { return phone.link_closed_by_host(); }, 3000));
    unsetenv("PULSE_SERVER");
}

// SCO packet sizes for the reported MTU and the echo canceller switch; a
// zero or absurd MTU must neither spin nor overflow.
TEST(AudioPumps, CaptureSendsPiecesSizedByTheMtu)
{
    struct Row {
        const char* name;
        int mtu;
        bool aec;
        std::vector<size_t> pattern;
    };
    const Row rows[] = {
        {"mtu 48", 48, false, {48}},
        {"mtu 60", 60, false, {60}},
        {"mtu 0 falls back to 48", 0, false, {48}},
        {"mtu 65535 capped", 65535, false, {240}},
        // Whole packets only: a short one would put the phone's clock and
        // ours out of step.
        {"echo path, mtu 48", 48, true, {48}},
        {"echo path, mtu 60", 60, true, {60}},
    };
    th::PulseServer pulse;
    th::SignalPlayer mic(pulse.server(), "mic", 440);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Link link;
        ScoPeer phone(link.phone);
        aec_enabled.store(row.aec ? 1 : 0);
        Pumps pumps(link.host, row.mtu);
        ASSERT_TRUE(th::wait_until([&] { return phone.received_packets().size() >= 12; }, 8000));
        pumps.stop();
        std::vector<ScoPeer::Packet> packets = phone.received_packets();
        // The first full chunk: find where the pattern starts (a chunk is
        // never split across a stop).
        for (size_t i = 0; i + row.pattern.size() <= 12; i += row.pattern.size())
            for (size_t k = 0; k < row.pattern.size(); ++k)
                ASSERT_EQ(packets[i + k].bytes, row.pattern[k]) << "packet " << i + k;
        EXPECT_EQ(aec_enabled.load(), 0);   // the stop switches it off
    }
}

// Send failures other than a closed link drop the piece and are reported
// once; EAGAIN is never reported.
TEST(AudioPumps, RepeatedSendFailuresAreReportedOnce)
{
    th::PulseServer pulse;
    th::SignalPlayer mic(pulse.server(), "mic", 440);
    struct Row {
        const char* name;
        bool datagram;
        int lines;
    };
    for (const Row& row : {Row{"unaddressed datagram socket: EDESTADDRREQ", true, 1},
                           Row{"link never read, send time-out: EAGAIN", false, 0}}) {
        SCOPED_TRACE(row.name);
        th::StdoutCapture log;
        int fd, peer = -1;
        if (row.datagram) {
            fd = socket(AF_INET, SOCK_DGRAM, 0);   // no peer address: every send fails
        } else {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
            fd = sv[0];
            peer = sv[1];
            int small = 1;
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            timeval timeout{0, 1000};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        }
        Pumps pumps(fd);
        ASSERT_TRUE(log.wait_for("🎤 Microphone active")) << log.text();
        if (row.lines) {
            ASSERT_TRUE(log.wait_for("⚠️ Microphone send error: Destination address required")) << log.text();
        }
        th::wait_until([] { return false; }, 500);   // many more failing chunks
        EXPECT_EQ(log.count("⚠️ Microphone send error: "), row.lines) << log.text();
        pumps.stop();
        ASSERT_TRUE(log.wait_for("🔇 Microphone closed")) << log.text();
        EXPECT_EQ(log.count("⚠️ Microphone send error: "), row.lines) << log.text();
        EXPECT_EQ(log.count("SCO closed"), 0) << log.text();
        if (peer >= 0) {
            // The link did fill up, so sends were failing all along.
            char buf[64];
            int queued = 0;
            while (recv(peer, buf, sizeof buf, MSG_DONTWAIT) > 0)
                ++queued;
            EXPECT_GT(queued, 0);
            close(peer);
        }
    }
}

// ---- what the pumps decide, from packet traces ----

struct SpeakerRun {
    SpeakerJitter::Counts counts;
    uint64_t conceal_events_while_sending = 0;
    int64_t min_ahead_ms = 1000, max_ahead_ms = 0;   // right after each write, once started
    int64_t last_ahead_ms = 0;
    int64_t min_card_ahead_ms = 1000, max_card_ahead_ms = -1000;   // what the card really has queued
    int64_t last_card_ahead_ms = 0;   // while the phone still sends
    int target_ms = 0, max_target_ms = 0;
    uint64_t loud_in = 0, loud_out = 0;
    bool held_back = false;           // a packet left pending after a tick
    int64_t min_trim_spacing_ms = 1000;
    std::vector<int16_t> out;
};

// The phone's packet i (24 samples, 3 ms) arrives at arrive_us(i); the
// pump ticks every 10 ms except while it is stalled.
// The sound card may run at card_ppm off our clock; it reports its latency
// (5 ms of its own on top of the queue) every 100 ms.
SpeakerRun run_speaker(int packets, const std::function<int64_t(int)>& arrive_us,
                       const std::function<int16_t(int)>& level, int64_t stall_from_us = -1,
                       int64_t stall_us = 0, double card_ppm = 0, int64_t card_restart_us = 0)
{
    int64_t card_start = -1, card_shift = 0;
    uint64_t card_written = 0;
    SpeakerJitter jb;
    SpeakerRun r;
    int next = 0;
    int64_t last_trim = -1;
    uint64_t trims = 0;
    const int64_t end = arrive_us(packets - 1) + 200000;
    for (int64_t t = 10000; t <= end; t += 10000) {
        if (stall_from_us >= 0 && t >= stall_from_us && t < stall_from_us + stall_us)
            continue;
        for (; next < packets && arrive_us(next) <= t; ++next) {
            int16_t p[24];
            std::fill(p, p + 24, level(next));
            r.loud_in += level(next) ? 24 : 0;
            jb.add_bytes(reinterpret_cast<const char*>(p), sizeof p, t);
        }
        size_t n = 0;
        const uint64_t made_up = jb.counts().concealed;
        const int16_t* block = jb.tick(t, &n);
        r.held_back |= jb.pending_samples() != 0;
        for (size_t i = 0; i < n - (jb.counts().concealed - made_up); ++i)
            r.loud_out += block[i] == 5000;
        r.out.insert(r.out.end(), block, block + n);
        if (next < packets)
            r.conceal_events_while_sending = jb.counts().conceal_events;
        if (jb.counts().trimmed_packets != trims) {
            if (last_trim >= 0)
                r.min_trim_spacing_ms = std::min(r.min_trim_spacing_ms, (t - last_trim) / 1000);
            last_trim = t;
            trims = jb.counts().trimmed_packets;
        }
        if (r.out.empty())
            continue;
        if (card_start < 0)
            card_start = t;
        int64_t card_ahead =
            int64_t(card_written) * 125 - int64_t(double(t - card_start) * (1 + card_ppm * 1e-6)) + card_shift;
        if (card_ahead < 0 && card_restart_us) {
            // Ran dry: the sink has played on, its buffered silence now
            // ahead of whatever comes next.
            card_shift += card_restart_us - card_ahead;
            card_ahead = card_restart_us;
        }
        card_written += n;
        card_ahead += int64_t(n) * 125;
        if (next < packets)
            r.last_card_ahead_ms = card_ahead / 1000;
        if (t % 100000 == 0)
            jb.note_server_latency(t, card_ahead + 5000);
        r.min_card_ahead_ms = std::min(r.min_card_ahead_ms, card_ahead / 1000);
        r.max_card_ahead_ms = std::max(r.max_card_ahead_ms, card_ahead / 1000);
        r.last_ahead_ms = jb.ahead_us(t) / 1000;
        r.min_ahead_ms = std::min(r.min_ahead_ms, r.last_ahead_ms);
        r.max_ahead_ms = std::max(r.max_ahead_ms, r.last_ahead_ms);
        r.max_target_ms = std::max<int>(r.max_target_ms, static_cast<int>(jb.target_us() / 1000));
    }
    r.counts = jb.counts();
    r.target_ms = static_cast<int>(jb.target_us() / 1000);
    return r;
}

TEST(SpeakerJitter, PacketTraces)
{
    auto even = [](int i) { return int64_t(i) * 3000 + 100; };
    const int64_t floor = SpeakerJitter::kTargetFloorUs / 1000, low = SpeakerJitter::kLowWaterUs / 1000;
    auto loud = [](int) { return int16_t(5000); };
    struct Row {
        const char* name;
        int packets;
        std::function<int64_t(int)> arrive;
        std::function<int16_t(int)> level;
        int64_t stall_from, stall;
        std::function<void(const SpeakerRun&)> check;
        double card_ppm = 0;
        int64_t card_restart_us = 0;
    };
    const Row rows[] = {
        {"even pace: all written, nothing made up, dropped or trimmed", 2000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_EQ(r.conceal_events_while_sending, 0u);
             EXPECT_EQ(r.counts.late_dropped + r.counts.burst_dropped + r.counts.trimmed_packets, 0u);
             EXPECT_EQ(r.loud_out, r.loud_in);
             EXPECT_EQ(r.max_target_ms, floor);
             EXPECT_GE(r.min_ahead_ms, low);
             EXPECT_LE(r.max_ahead_ms, floor + 6);
         }},
        {"one late run of packets: the gap is filled, the late audio dropped, the level kept", 2000,
         [&](int i) { return i >= 1000 && i < 1010 ? int64_t(1010) * 3000 + 100 : even(i); }, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GE(r.counts.conceal_events, 1u);
             EXPECT_GT(r.counts.late_dropped, 0u);
             EXPECT_LE(r.counts.late_dropped, r.counts.concealed);
             EXPECT_GE(r.min_ahead_ms, low - 1);   // never ran dry
             EXPECT_LE(r.max_ahead_ms, floor + 6);   // no delay added
         }},
        {"jittery phone: the target grows with the jitter but stays within 40 ms", 3000,
         [&](int i) { return even(i) + (i % 20 < 5 ? 25000 : 0); }, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GT(r.max_target_ms, floor);
             EXPECT_LE(r.max_target_ms, 40);
             EXPECT_GE(r.min_ahead_ms, low - 1);
         }},
        {"our own 200 ms stall: the burst is cut to the ceiling at once, then trimmed", 1000, even, loud, 1000000,
         200000, [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.burst_dropped, 0u);
             EXPECT_LE(r.max_ahead_ms, 80);
             EXPECT_GE(r.min_trim_spacing_ms, 20);
             EXPECT_LE(r.last_ahead_ms, floor + 10);
         }},
        {"excess trimmed a packet at a time, quiet packets first", 1500,
         [&](int i) { return i < 20 ? int64_t(100) : even(i - 20); },   // 60 ms extra at the start
         [](int i) { return int16_t(i % 3 == 0 ? 0 : 5000); }, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.trimmed_packets, 3u);
             EXPECT_GE(r.min_trim_spacing_ms, 20);
             EXPECT_EQ(r.loud_out, r.loud_in);   // only quiet ones went
             EXPECT_LE(r.last_ahead_ms, floor + 6);
         }},
        {"the sound card's clock 500 ppm fast: followed, never dry", 20000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.clock_steps, 0u);
             EXPECT_GE(r.min_card_ahead_ms, low - 6);
         },
         500},
        {"the sound card's clock 500 ppm slow: followed, no creeping delay", 20000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.clock_steps, 0u);
             EXPECT_LE(r.max_card_ahead_ms, floor + 20);   // a loud tone is trimmed only 15 ms over
         },
         -500},
        {"the stream ran dry in our stall and the sink put silence ahead: taken over and trimmed", 3000, even,
         [](int) { return int16_t(0); }, 5000000, 100000,
         [&](const SpeakerRun& r) { EXPECT_LE(r.last_card_ahead_ms, floor + 7); }, 0, 15000},
        {"the phone goes silent: the stream is kept fed, never dry", 300, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GE(r.min_ahead_ms, low - 1);
             EXPECT_GT(r.counts.concealed, 8000u * 150 / 1000);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.check(run_speaker(row.packets, row.arrive, row.level, row.stall_from, row.stall, row.card_ppm,
                              row.card_restart_us));
    }
}

// The last 10 ms heard, fading out, then silence; nothing is ever held
// back from the stream past one tick.
TEST(SpeakerJitter, ConcealmentRepeatsTheLastTenMillisecondsFadingOut)
{
    auto ramp = [](int i) { return int16_t(1000 + i); };
    SpeakerRun r = run_speaker(100, [](int i) { return int64_t(i) * 3000 + 100; }, ramp);
    EXPECT_FALSE(r.held_back);
    const int16_t last = ramp(99);
    size_t end = 0;
    for (size_t i = 0; i < r.out.size(); ++i)
        if (r.out[i] == last)
            end = i + 1;
    ASSERT_GT(end, 80u);
    ASSERT_GE(r.out.size(), end + 200);
    for (int k = 0; k < SpeakerJitter::kFadeSamples; ++k)
        ASSERT_EQ(r.out[end + k], int16_t(int32_t(r.out[end - 80 + k]) * (80 - k) / 80)) << k;
    for (size_t k = end + 80; k < r.out.size(); ++k)
        ASSERT_EQ(r.out[k], 0) << k;
}

struct MicRun {
    uint64_t sent = 0, phone = 0;
    size_t max_queued = 0, last_queued = 0;
    std::vector<size_t> queued_after;   // per step
};

// Each step: the record stream gives `reads` chunks of 10 ms, the phone has
// sent `phone` more packets, at the step's time.
MicRun run_mic(int mtu, const std::vector<std::tuple<int64_t, int, int>>& steps)
{
    MicPacer pacer(mtu);
    MicRun r;
    char chunk[160] = {};
    for (auto [t, reads, phone] : steps) {
        r.phone += static_cast<uint64_t>(phone);
        for (int k = 0; k < reads; ++k) {
            pacer.add_recorded(chunk, sizeof chunk);
            for (int due = pacer.due(r.phone, t); due > 0; --due, ++r.sent)
                pacer.sent();
        }
        r.max_queued = std::max(r.max_queued, pacer.queued_bytes());
        r.queued_after.push_back(pacer.queued_bytes());
    }
    r.last_queued = r.queued_after.empty() ? 0 : r.queued_after.back();
    return r;
}

TEST(MicPacer, PacketTraces)
{
    // Phone packets of 3 ms arrive with the 10 ms reads: 3, 3, 4, 3, 3, 4...
    auto even = [](int from_ms, int to_ms, int packet_us = 3000) {
        std::vector<std::tuple<int64_t, int, int>> s;
        for (int t = from_ms * 1000; t < to_ms * 1000; t += 10000)
            s.push_back({t, 1, (t + 10000) / packet_us - t / packet_us});
        return s;
    };
    struct Row {
        const char* name;
        int mtu;
        std::vector<std::tuple<int64_t, int, int>> steps;
        std::function<void(const MicRun&)> check;
    };
    std::vector<std::tuple<int64_t, int, int>> stalled = even(0, 1000);
    stalled.push_back({1200000, 20, 67});   // 200 ms of both at once
    for (auto s : even(1210, 2200))
        stalled.push_back(s);
    std::vector<std::tuple<int64_t, int, int>> silent;
    for (int t = 0; t < 1000; t += 10)
        silent.push_back({int64_t(t) * 1000, 1, 0});
    std::vector<std::tuple<int64_t, int, int>> silent_stall = silent;
    silent_stall.insert(silent_stall.begin() + 50, {500000 + 200000, 20, 0});   // 200 ms backlog, no phone
    for (size_t k = 51; k < silent_stall.size(); ++k)
        std::get<0>(silent_stall[k]) += 200000;
    std::vector<std::tuple<int64_t, int, int>> stops = even(0, 500);
    for (int t = 500; t < 1000; t += 10)
        stops.push_back({int64_t(t) * 1000, 1, 0});
    const Row rows[] = {
        {"even phone: one packet back for each packet received", 48, even(0, 3000),
         [](const MicRun& r) {
             EXPECT_LE(r.sent, r.phone);
             EXPECT_GE(r.sent + 2, r.phone);
             EXPECT_LE(r.max_queued, 30 * 16u);
         }},
        {"mtu 60 paced the same", 60, even(0, 3000, 3750),
         [](const MicRun& r) {
             EXPECT_LE(r.sent, r.phone);
             EXPECT_GE(r.sent + 2, r.phone);
         }},
        {"after a 200 ms stall: the backlog is dropped, the phone's burst not answered in kind", 48, stalled,
         [](const MicRun& r) {
             EXPECT_LE(r.max_queued, 30 * 16u);
             EXPECT_LE(r.sent, r.phone);
             EXPECT_GE(r.sent + 67, r.phone);   // missed the stall, no more
             EXPECT_LE(r.last_queued, 20 * 16u);
         }},
        {"a phone that never sends: the microphone's clock paces the link", 48, silent,
         [](const MicRun& r) { EXPECT_GE(r.sent, 1000u * 16 / 48 - 5); }},
        {"no phone packets and a 200 ms stall: the backlog is not sent as a burst", 48, silent_stall,
         [](const MicRun& r) {
             EXPECT_LE(r.sent, 1000u * 16 / 48 + 15);   // the stall's own 200 ms never go
             EXPECT_GE(r.sent, 1000u * 16 / 48 - 5);
             EXPECT_LE(r.max_queued, 30 * 16u);
         }},
        {"a phone that stops sending: pacing goes on by the microphone", 48, stops,
         [](const MicRun& r) {
             EXPECT_GE(r.sent, 1000u * 16 / 48 - 30);
             EXPECT_LE(r.max_queued, 30 * 16u);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.check(run_mic(row.mtu, row.steps));
    }
}

// A pump runs and shows its stream only for its own call.
TEST(VoiceLink, GenerationRules)
{
    struct Row {
        const char* name;
        uint64_t mine, current;
        int running, socket;
        bool goes_on;
    };
    for (const Row& row : {Row{"its own call", 3, 3, 1, 7, true}, Row{"its call stopped", 3, 3, 0, -1, false},
                           Row{"socket closed by the link's close", 3, 3, 1, -1, false},
                           Row{"woke up in the next call", 3, 4, 1, 7, false},
                           Row{"the next call's socket has its old number", 3, 4, 1, 5, false}}) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(pump_is_current(row.mine, row.current, row.running, row.socket), row.goes_on);
    }

    // Call 1's pump is late; call 2's pump holds the slot; call 1 must
    // neither take it nor clear it.
    std::atomic<pa_simple*> slot{nullptr};
    auto* first = reinterpret_cast<pa_simple*>(0x10);
    auto* second = reinterpret_cast<pa_simple*>(0x20);
    sco_audio_running.store(1);
    sco_socket.store(9);
    uint64_t g1 = sco_generation.fetch_add(1) + 1;
    EXPECT_TRUE(publish_stream(slot, first, g1));
    withdraw_stream(slot, first);
    uint64_t g2 = sco_generation.fetch_add(1) + 1;
    EXPECT_FALSE(publish_stream(slot, first, g1));   // too late for its call
    EXPECT_TRUE(publish_stream(slot, second, g2));
    withdraw_stream(slot, first);
    EXPECT_EQ(slot.load(), second);
    withdraw_stream(slot, second);
    EXPECT_EQ(slot.load(), nullptr);
    sco_audio_running.store(0);
    sco_socket.store(-1);
}

}  // namespace
