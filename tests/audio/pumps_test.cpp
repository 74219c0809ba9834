// The pumps between a SCO-like socket and a real PulseAudio server, and the
// pure pieces of the voice path (pacing, concealment, trimming) from traces.
#include "core/mic_pacer.h"
#include "audio/aec.h"
#include "audio/pumps.h"
#include "audio/realtime.h"
#include "audio/sco.h"
#include "core/speaker_jitter.h"
#include "audio/voice_link.h"
#include "audio_log_capture.h"
#include "audio_phone.h"
#include "audio_pulse.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

namespace {

// Both pumps on one end of a socket, as sco_connect would start them.
struct Pumps {
    explicit Pumps(int fd, int mtu = 48)
    {
        sco_mtu.store(mtu);
        sco_socket.store(fd);
        sco_audio_running.store(1);
        sco_start_pumps();
    }
    ~Pumps() { stop(); }
    // A second stop finds nothing to stop.
    void stop()
    {
        stop_sco_audio(nullptr);
        EXPECT_EQ(sco_reap_pump_threads(true), 0);
    }
};

struct Link {
    int sv[2] = {-1, -1};
    int &host = sv[0], &phone = sv[1];
    Link() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0); }
};

// Bytes the phone has sent that the pump has not yet taken off the link.
int queued_on_link(int phone_fd)
{
    int queued = 0;
    return ioctl(phone_fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
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

// The kernel kills the whole process when a real-time thread runs on past
// its limit without a pause; the voice thread is lowered well before.
TEST(RealtimeVoice, AThreadThatRunsWithoutAPauseIsLoweredAndTheProgramGoesOn)
{
    bool raised = false;
    int policy_after = -1;
    std::string why;
    std::thread spinner([&] {
        raised = make_thread_realtime(&why);
        if (!raised)
            return;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        while (std::chrono::steady_clock::now() < until) {
        }
        policy_after = sched_getscheduler(0);
    });
    spinner.join();
    if (!raised)
        GTEST_SKIP() << "no real-time priority here: " << why;
    EXPECT_EQ(policy_after, SCHED_OTHER);
    EXPECT_TRUE(realtime_was_lowered());
    EXPECT_FALSE(realtime_was_lowered()) << "told once";
}

TEST(AudioPumps, SpeakerCatchesUpAfterTheLinkDeliversABurst)
{
    th::PulseServer pulse;
    Link link;
    th::ScoPeer phone(link.phone);
    phone.start_sending([](uint64_t i) { return static_cast<int16_t>(8000 * std::sin(2 * M_PI * i / 8.0)); });
    Pumps pumps(link.host);
    ASSERT_TRUE(th::wait_until([&] { return speaker_latency_ms(pulse) > 0; }, 5000));
    const int steady_queue = queued_on_link(link.phone);

    // 300 ms at once, as after the PC stalled: left alone, it would stay
    // queued as delay for the rest of the call.
    std::vector<int16_t> packet(24, 3000);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(send(link.phone, packet.data(), 48, MSG_NOSIGNAL), 48);
    EXPECT_GT(queued_on_link(link.phone), steady_queue + 20000);
    EXPECT_TRUE(th::wait_until([&] { return queued_on_link(link.phone) <= steady_queue + 8192; }, 3000));
    EXPECT_TRUE(th::wait_until([&] { return speaker_latency_ms(pulse) < 60; }, 3000)) << speaker_latency_ms(pulse);
}

// Pieces of exactly the reported MTU (a short one would put the phone's
// clock and ours out of step; a zero or absurd MTU must neither spin nor
// overflow); send failures other than a closed link dropped and reported
// once, EAGAIN (a link not read) never; no sound server: only the audio is
// missing. None of it ends the call.
TEST(AudioPumps, OddLinksAndServersLeaveTheCallUp)
{
    enum Kind { kPlain, kUnaddressed, kNeverRead, kNoServer, kPhoneSends60 };
    struct Row {
        const char* name;
        int mtu;
        size_t piece;   // bytes in each packet the phone gets; 0: none expected
        Kind kind = kPlain;
        std::vector<std::pair<std::string, int>> lines = {};   // warnings logged, how often
    };
    const std::string send_error = "⚠️ Microphone send error: ";
    const Row rows[] = {
        // Our packets are the size of the phone's, 48 until its first comes, whatever the MTU says.
        {"mtu 60, the phone silent", 60, 48}, {"mtu 0", 0, 48}, {"mtu 65535", 65535, 48},
        {"mtu 64, the phone's packets of 60", 64, 60, kPhoneSends60},
        {"unaddressed datagram socket: EDESTADDRREQ", 48, 0, kUnaddressed,
         {{send_error + "Destination address required", 1}, {send_error, 1}}},
        {"link never read, send time-out: EAGAIN", 48, 0, kNeverRead, {{send_error, 0}}},
        {"no sound server", 48, 0, kNoServer,
         {{"⚠️ Microphone could not be opened: ", 1}, {"⚠️ Speaker could not be opened: ", 1}}},
    };
    th::PulseServer pulse;
    th::SignalPlayer mic(pulse.server(), "mic", 440);
    th::TempDir nowhere;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        th::StdoutCapture log;
        Link link;
        int fd = row.kind == kUnaddressed ? socket(AF_INET, SOCK_DGRAM, 0) : link.host;
        std::unique_ptr<th::ScoPeer> phone;
        if (row.kind == kNeverRead) {
            int small = 1;
            timeval timeout{0, 1000};
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        } else {
            phone = std::make_unique<th::ScoPeer>(link.phone, row.kind == kPhoneSends60 ? 60 : 48);
            if (row.kind == kPhoneSends60)
                phone->start_sending([](uint64_t) { return int16_t(0); });
        }
        const std::string server = row.kind == kNoServer ? "unix:" + nowhere.file("none") : pulse.server();
        setenv("PULSE_SERVER", server.c_str(), 1);
        Pumps pumps(fd, row.mtu);
        if (row.piece) {
            ASSERT_TRUE(th::wait_until([&] { return phone->received_packets().size() >= 12; }, 8000));
        } else {
            ASSERT_TRUE(log.wait_for(row.kind == kNoServer ? "could not be opened" : "🎤 Microphone active"));
            th::wait_until([] { return false; }, 500);   // many failing chunks
        }
        for (const auto& [line, times] : row.lines)
            EXPECT_TRUE(!times || log.wait_for(line)) << line;
        EXPECT_EQ(sco_audio_running.load(), 1);
        EXPECT_FALSE(phone && phone->link_closed_by_host());
        pumps.stop();
        setenv("PULSE_SERVER", pulse.server().c_str(), 1);
        // The newest ones: the first may go out before the phone's first packet.
        auto packets = row.piece ? phone->received_packets() : std::vector<th::ScoPeer::Packet>{};
        for (size_t i = packets.size() >= 12 ? packets.size() - 12 : 0; i < packets.size(); ++i)
            ASSERT_EQ(packets[i].bytes, row.piece) << "packet " << i;
        for (const auto& [line, times] : row.lines)
            EXPECT_EQ(log.count(line), times) << line << log.text();
        EXPECT_EQ(log.count("SCO closed"), 0) << log.text();
        if (row.kind == kNeverRead) {
            char buf[64];
            EXPECT_GT(recv(link.phone, buf, sizeof buf, MSG_DONTWAIT), 0) << "the link filled up, sends failing";
            close(link.phone);
        }
        if (row.kind == kUnaddressed)
            close(link.host);
    }
}

// The canceller takes the microphone in whole 10 ms chunks; without it the
// microphone goes on as it comes. Switched at any moment of a call, the
// phone goes on hearing the microphone.
TEST(AudioPumps, TheMicrophoneReachesThePhoneWhateverTheCancellerSwitchDoes)
{
    const struct {
        const char* name;
        bool on;
        int switch_every_ms;   // 0: left as it is
    } rows[] = {{"off", false, 0}, {"on", true, 0}, {"switched every 35 ms", false, 35}};
    th::PulseServer pulse;
    th::SignalPlayer mic(pulse.server(), "mic", 440);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        aec_enabled.store(row.on);
        Link link;
        th::ScoPeer phone(link.phone);
        phone.start_sending([](uint64_t) { return int16_t(0); });
        Pumps pumps(link.host);
        ASSERT_TRUE(th::wait_until([&] { return phone.received_count() > 4000; }, 8000));
        const uint64_t mark = phone.received_count();
        const int step_ms = row.switch_every_ms ? row.switch_every_ms : 1000;
        for (int ms = 0; ms < 1000; ms += step_ms) {
            if (row.switch_every_ms)
                aec_enabled.store(!aec_enabled.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
        }
        pumps.stop();
        aec_enabled.store(0);
        std::vector<int16_t> heard = phone.received_since(mark);
        EXPECT_GT(heard.size(), 4000u);
        EXPECT_GT(th::tone_share(heard, 440), 0.9);
    }
}

// ---- what the pumps decide, from packet traces ----

struct SpeakerRun {
    SpeakerJitter::Counts counts;
    uint64_t conceal_events_while_sending = 0, loud_in = 0, loud_out = 0;
    int64_t min_ahead_ms = 1000, max_ahead_ms = 0, last_ahead_ms = 0;   // right after each write, once started
    int64_t min_card_ahead_ms = 1000, max_card_ahead_ms = -1000, last_card_ahead_ms = 0;   // really queued
    int max_target_ms = 0;
    bool held_back = false;   // a packet left pending after a tick
    int64_t min_trim_spacing_ms = 1000;
    int dry_ticks = 0;   // ticks that found the sink dry
    std::vector<int16_t> out;
};

// Whether the sink tells the pump when the stream runs dry (it plays on
// from now), whether its latency readings then shift, as the sound
// server's do: by 10 ms, once the stream ran dry, and whether the word
// comes a tick late, as the server's does when its message crosses our
// sleep: the tick written in between is queued all the same.
enum class Dry { Untold, Told, ToldReadingsShift, ToldLate };

// The phone's packet i (24 samples, 3 ms) arrives at arrive_us(i); the pump
// ticks every 10 ms except while stalled. The sound card may run card_ppm
// off our clock and reports its latency (5 ms of its own on top) every 100 ms.
SpeakerRun run_speaker(int packets, const std::function<int64_t(int)>& arrive_us,
                       const std::function<int16_t(int)>& level, int64_t stall_from_us = -1, int64_t stall_us = 0,
                       double card_ppm = 0, int64_t card_restart_us = 0, Dry dry = Dry::Untold,
                       int64_t card_loses_at_us = -1, int packet_samples = 24, int rate = 8000,
                       int64_t card_loses_again_after_us = 0)
{
    const int64_t sample_ns = 1000000000LL / rate;
    int64_t card_start = -1, card_shift = 0, last_trim = -1, reading_shift = 0;
    uint64_t card_written = 0, trims = 0;
    // What the sink still has to play at t, in microseconds.
    auto card_ahead_at = [&](int64_t t) {
        return int64_t(card_written) * sample_ns / 1000 - int64_t(double(t - card_start) * (1 + card_ppm * 1e-6)) +
               card_shift;
    };
    SpeakerJitter jb(rate);
    SpeakerRun r;
    int next = 0;
    bool dry_untold = false;
    for (int64_t t = 10000; t <= arrive_us(packets - 1) + 200000; t += 10000) {
        if (stall_from_us >= 0 && t >= stall_from_us && t < stall_from_us + stall_us)
            continue;
        if (dry_untold) {
            jb.note_underrun(t);
            dry_untold = false;
        }
        for (; next < packets && arrive_us(next) <= t; ++next) {
            int16_t p[SpeakerJitter::kMaxPacketSamples];
            std::fill(p, p + packet_samples, level(next));
            r.loud_in += level(next) ? uint64_t(packet_samples) : 0;
            if (rate == 8000)
                jb.add_bytes(reinterpret_cast<const char*>(p), size_t(packet_samples) * 2, t);
            else
                jb.add_samples(p, size_t(packet_samples), t);
        }
        if (card_loses_at_us >= 0 && t >= card_loses_at_us) {
            // 15 ms of what we wrote never plays: the queue is that much
            // shorter than the pump believes.
            card_shift -= 15000;
            card_loses_at_us = card_loses_again_after_us ? t + card_loses_again_after_us : -1;
            card_loses_again_after_us = 0;
        }
        if (card_start >= 0 && dry != Dry::Untold) {
            int64_t card_ahead = card_ahead_at(t);
            // The sink reads 5 ms ahead of what it plays: less is dry.
            if (card_ahead < 5000) {
                ++r.dry_ticks;
                card_shift += 5000 - card_ahead;
                if (dry == Dry::ToldReadingsShift)
                    reading_shift = 10000;
                if (dry == Dry::ToldLate)
                    dry_untold = true;
                else
                    jb.note_underrun(t);
            }
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
        int64_t card_ahead = card_ahead_at(t);
        if (card_ahead < 0 && card_restart_us) {
            // Ran dry: the sink played on, its buffered silence now ahead.
            card_shift += card_restart_us - card_ahead;
            card_ahead = card_restart_us;
        }
        card_written += n;
        card_ahead += int64_t(n) * sample_ns / 1000;
        if (next < packets)
            r.last_card_ahead_ms = card_ahead / 1000;
        if (t % 100000 == 0)
            jb.note_server_latency(t, card_ahead + 5000 + reading_shift);
        r.min_card_ahead_ms = std::min(r.min_card_ahead_ms, card_ahead / 1000);
        r.max_card_ahead_ms = std::max(r.max_card_ahead_ms, card_ahead / 1000);
        r.last_ahead_ms = jb.ahead_us(t) / 1000;
        r.min_ahead_ms = std::min(r.min_ahead_ms, r.last_ahead_ms);
        r.max_ahead_ms = std::max(r.max_ahead_ms, r.last_ahead_ms);
        r.max_target_ms = std::max<int>(r.max_target_ms, static_cast<int>(jb.target_us() / 1000));
    }
    r.counts = jb.counts();
    return r;
}

TEST(SpeakerJitter, PacketTraces)
{
    auto even = [](int i) { return int64_t(i) * 3000 + 100; };
    auto loud = [](int) { return int16_t(5000); };
    const int64_t floor = SpeakerJitter::kTargetFloorUs / 1000, low = SpeakerJitter::kLowWaterUs / 1000;
    struct Row {
        const char* name;
        int packets;
        std::function<int64_t(int)> arrive;
        std::function<int16_t(int)> level;
        int64_t stall_from, stall;
        std::function<void(const SpeakerRun&)> check;
        double card_ppm = 0;
        int64_t card_restart_us = 0;
        Dry dry = Dry::Untold;
        int64_t card_loses_at_us = -1;
        int packet_samples = 24;
        int rate = 8000;
        int64_t card_loses_again_after_us = 0;
    };
    const Row rows[] = {
        // Ticks take one frame or two: the queue swings by a frame.
        {"mSBC's 7.5 ms frames in 10 ms ticks: nothing made up, dropped or trimmed", 1300,
         [](int i) { return int64_t(i) * 7500 + 100; }, loud, -1, 0, [&](const SpeakerRun& r) {
             EXPECT_EQ(r.conceal_events_while_sending, 0u);
             EXPECT_EQ(r.counts.late_dropped + r.counts.burst_dropped + r.counts.trimmed_packets, 0u);
             EXPECT_EQ(r.loud_out, r.loud_in);
         }, 0, 0, Dry::Untold, -1, 120, 16000},
        {"even pace: nothing made up, dropped or trimmed", 2000, even, loud, -1, 0, [&](const SpeakerRun& r) {
             EXPECT_EQ(r.conceal_events_while_sending, 0u);
             EXPECT_EQ(r.counts.late_dropped + r.counts.burst_dropped + r.counts.trimmed_packets, 0u);
             EXPECT_EQ(r.loud_out, r.loud_in);
             EXPECT_EQ(r.max_target_ms, floor);
             EXPECT_GE(r.min_ahead_ms, low);
             EXPECT_LE(r.max_ahead_ms, floor + 6);
         }},
        {"one late run of packets: the gap filled, the late audio dropped, the level kept", 2000,
         [&](int i) { return i >= 1000 && i < 1010 ? int64_t(1010) * 3000 + 100 : even(i); }, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GE(r.counts.conceal_events, 1u);
             EXPECT_GT(r.counts.late_dropped, 0u);
             EXPECT_LE(r.counts.late_dropped, r.counts.concealed);
             EXPECT_GE(r.min_ahead_ms, low - 1);
             EXPECT_LE(r.max_ahead_ms, floor + 6);
         }},
        {"jittery phone: the target grows with the jitter but stays within 40 ms", 3000,
         [&](int i) { return even(i) + (i % 20 < 5 ? 25000 : 0); }, loud, -1, 0, [&](const SpeakerRun& r) {
             EXPECT_GT(r.max_target_ms, floor);
             EXPECT_LE(r.max_target_ms, 40);
             EXPECT_GE(r.min_ahead_ms, low - 1);
         }},
        {"our own 200 ms stall: the burst cut to the ceiling at once, then trimmed", 1000, even, loud, 1000000, 200000,
         [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.burst_dropped, 0u);
             EXPECT_LE(r.max_ahead_ms, 80);
             EXPECT_GE(r.min_trim_spacing_ms, 20);
             EXPECT_LE(r.last_ahead_ms, floor + 10);
         }},
        {"60 ms excess trimmed a packet at a time, quiet packets first", 1500,
         [&](int i) { return i < 20 ? int64_t(100) : even(i - 20); }, [](int i) { return int16_t(i % 3 ? 5000 : 0); },
         -1, 0, [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.trimmed_packets, 3u);
             EXPECT_GE(r.min_trim_spacing_ms, 20);
             EXPECT_EQ(r.loud_out, r.loud_in);
             EXPECT_LE(r.last_ahead_ms, floor + 6);
         }},
        {"the card's clock 500 ppm fast: followed, never dry", 20000, even, loud, -1, 0, [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.clock_steps, 0u);
             EXPECT_GE(r.min_card_ahead_ms, low - 6);
         }, 500},
        // A loud tone is trimmed only 15 ms over.
        {"the card's clock 500 ppm slow: followed, no creeping delay", 20000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GT(r.counts.clock_steps, 0u);
             EXPECT_LE(r.max_card_ahead_ms, floor + 20);
         }, -500},
        {"ran dry in our stall, the sink put silence ahead: taken over and trimmed", 3000, even,
         [](int) { return int16_t(0); }, 5000000, 100000,
         [&](const SpeakerRun& r) { EXPECT_LE(r.last_card_ahead_ms, floor + 7); }, 0, 15000},
        // Believing the server's word at once, the next tick fills the
        // stream again; going by our own figures it would run dry tick
        // after tick until the latency readings caught up a second later.
        {"the sink lost 15 ms of what we wrote: it runs dry once, not every tick", 3000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_EQ(r.dry_ticks, 1);
             EXPECT_EQ(r.counts.underruns, 1u);
             EXPECT_GE(r.last_card_ahead_ms, low - 1);
         }, 0, 0, Dry::Told, 5000000},
        // The readings' old reference no longer holds once the stream ran
        // dry: it reads as 10 ms more queued than there is. Believed, it runs
        // the stream dry once more, and from then on a new reference holds;
        // kept for good, the stream would run dry every second.
        {"after running dry the server's readings shift: dry once more at most, not every second", 3000, even, loud,
         -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GE(r.dry_ticks, 1);
             EXPECT_LE(r.dry_ticks, 2);
             EXPECT_GE(r.last_card_ahead_ms, low - 1);
         }, 0, 0, Dry::ToldReadingsShift, 5000000},
        // What went out between the sink running dry and our hearing of it
        // plays after the gap: kept out of the count, it would stay as delay
        // for the rest of the call.
        // Not yet told, the next tick cannot make up for the lost 15 ms: the
        // sink runs dry a second time, once.
        {"the sink ran dry and we heard a tick late: the delay goes back to the target", 3000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GE(r.dry_ticks, 1);
             EXPECT_LE(r.dry_ticks, 2);
             EXPECT_GE(r.last_card_ahead_ms, low - 1);
             EXPECT_LE(r.last_card_ahead_ms, floor + 2);
         }, 0, 0, Dry::ToldLate, 5000000},
        // The second comes before a round of readings has set the new
        // reference: it is believed all the same, and not held against the
        // old reference, which the first showed wrong.
        {"the sink lost 15 ms twice, 300 ms apart: it runs dry twice, and once more at most", 3000, even, loud, -1, 0,
         [&](const SpeakerRun& r) {
             EXPECT_GE(r.dry_ticks, 2);
             EXPECT_LE(r.dry_ticks, 3);
             EXPECT_GE(r.last_card_ahead_ms, low - 1);
         }, 0, 0, Dry::ToldReadingsShift, 5000000, 24, 8000, 300000},
        // The last 10 ms heard twice, fading out over both, then silence;
        // the stream kept fed and never dry, nothing held back from it past
        // one tick.
        {"the phone goes silent", 100, even, [](int i) { return int16_t(1000 + i); }, -1, 0, [&](const SpeakerRun& r) {
             EXPECT_FALSE(r.held_back);
             EXPECT_GE(r.min_ahead_ms, low - 1);
             EXPECT_GT(r.counts.concealed, 8000u * 150 / 1000);
             size_t end = std::find(r.out.rbegin(), r.out.rend(), int16_t(1099)).base() - r.out.begin();
             ASSERT_GT(end, 80u);
             ASSERT_GE(r.out.size(), end + 200);
             for (int k = 0; k < 2 * SpeakerJitter::kFadeSamples; ++k)
                 ASSERT_EQ(r.out[end + k], int16_t(int32_t(r.out[end - 80 + k % 80]) * (160 - k) / 160)) << k;
             EXPECT_TRUE(std::all_of(r.out.begin() + long(end) + 160, r.out.end(), [](int16_t s) { return s == 0; }));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.check(run_speaker(row.packets, row.arrive, row.level, row.stall_from, row.stall, row.card_ppm,
                              row.card_restart_us, row.dry, row.card_loses_at_us, row.packet_samples, row.rate,
                              row.card_loses_again_after_us));
    }
}

using MicStep = std::tuple<int64_t, int, int>;   // time, 10 ms chunks recorded, phone packets received

struct MicRun {
    uint64_t sent = 0, phone = 0;
    size_t max_queued = 0, standing = 0;   // standing: the lowest level over the last half second, never drained
};

MicRun run_mic(int mtu, const std::vector<MicStep>& steps)
{
    MicPacer pacer(mtu);
    MicRun r;
    char chunk[160] = {};
    std::vector<size_t> levels;   // queued after each step
    for (auto [t, reads, phone] : steps) {
        r.phone += static_cast<uint64_t>(phone);
        for (int k = 0; k < reads; ++k) {
            pacer.add_recorded(chunk, sizeof chunk);
            for (int due = pacer.due(r.phone, t); due > 0; --due, ++r.sent)
                pacer.sent();
        }
        levels.push_back(pacer.queued_bytes());
    }
    r.max_queued = *std::max_element(levels.begin(), levels.end());
    r.standing = *std::min_element(levels.end() - std::min<ptrdiff_t>(50, std::ssize(levels)), levels.end());
    return r;
}

// Sent packets stay within [base - below, base + above], base the phone's
// packets or, by_mic, the packets the microphone's clock gives in 1 s; no
// queue over 30 ms ever, and paced by the phone none standing at the end.
TEST(MicPacer, PacketTraces)
{
    // Phone packets arrive with the 10 ms reads (3 ms ones: 3, 3, 4, 3, ...);
    // packet_us 0: the phone sends nothing.
    auto even = [](int from_ms, int to_ms, int packet_us = 3000) {
        std::vector<MicStep> s;
        for (int64_t t = from_ms * 1000; t < to_ms * 1000; t += 10000)
            s.push_back({t, 1, packet_us ? (t + 10000) / packet_us - t / packet_us : 0});
        return s;
    };
    auto join = [](std::vector<MicStep> a, MicStep b, const std::vector<MicStep>& c) {
        a.push_back(b);
        a.insert(a.end(), c.begin(), c.end());
        return a;
    };
    // 18 reads of backlog after the stall leave 9 ms queued, under the 30 ms cut.
    // Packets sent, less the phone's (or the microphone clock's) count, lie in [lo, hi].
    const std::tuple<const char*, int, std::vector<MicStep>, bool, int64_t, int64_t> rows[] = {
        {"even phone: one packet back for each packet received", 48, even(0, 3000), false, -2, 0},
        {"mtu 60 paced the same", 60, even(0, 3000, 3750), false, -2, 0},
        // Their air slots have passed: more would stand queued at the phone.
        {"after a 200 ms stall: the backlog dropped, the phone's burst of 67 answered by a tick's 4 at most", 48,
         join(even(0, 1000), {1200000, 18, 67}, even(1210, 2200)), false, -67, -63},
        {"a phone that never sends, and a 200 ms stall: the microphone's clock paces, no burst", 48,
         join(even(0, 500, 0), {700000, 20, 0}, even(700, 1200, 0)), true, -5, 15},
        {"a phone that stops sending: pacing goes on by the microphone", 48,
         join(even(0, 500), {500000, 1, 0}, even(510, 1000, 0)), true, -30, 1000},
    };
    for (const auto& [name, mtu, steps, by_mic, lo, hi] : rows) {
        SCOPED_TRACE(name);
        MicRun r = run_mic(mtu, steps);
        const int64_t off = int64_t(r.sent) - int64_t(by_mic ? 1000 * 16 / 48 : r.phone);
        EXPECT_GE(off, lo);
        EXPECT_LE(off, hi);
        EXPECT_LE(r.max_queued, 30 * 16u);
        EXPECT_TRUE(by_mic || r.standing <= 2 * 48u) << r.standing;
    }
}

// A pump shows its stream only while its own call's link is up, and never
// takes or clears another call's.
TEST(VoiceLink, PumpsTouchOnlyTheirOwnCallsStream)
{
    std::atomic<pa_stream*> slot{nullptr};
    auto *first = reinterpret_cast<pa_stream*>(0x10), *second = reinterpret_cast<pa_stream*>(0x20);
    const uint64_t g1 = sco_generation.fetch_add(1) + 1;
    for (auto [running, socket, shown] : {std::tuple{0, 9, false}, std::tuple{1, -1, false}, std::tuple{1, 9, true}}) {
        sco_audio_running.store(running);
        sco_socket.store(socket);
        EXPECT_EQ(publish_stream(slot, first, g1), shown) << running << " " << socket;
    }
    withdraw_stream(slot, first);
    // Call 1's pump is late; call 2's holds the slot.
    const uint64_t g2 = sco_generation.fetch_add(1) + 1;
    EXPECT_FALSE(publish_stream(slot, first, g1));
    EXPECT_TRUE(publish_stream(slot, second, g2));
    withdraw_stream(slot, first);
    EXPECT_EQ(slot.load(), second);
    withdraw_stream(slot, second);
    EXPECT_EQ(slot.load(), nullptr);
    sco_audio_running.store(0);
    sco_socket.store(-1);
}

}  // namespace
