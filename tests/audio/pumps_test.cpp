// The pumps move real audio between a SCO-like socket and a real PulseAudio
// server: the phone's tone must come out of the sink, the "microphone" tone
// must reach the phone, and every way a call ends must leave nothing behind.
#include "audio/aec.h"
#include "audio/pumps.h"
#include "audio/sco.h"
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

#include <cmath>
#include <cstdio>
#include <cstdlib>

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
        pthread_create(&playback_, nullptr, sco_playback_thread_func, nullptr);
        pthread_create(&capture_, nullptr, sco_capture_thread_func, nullptr);
    }
    ~Pumps() { stop(); }
    void stop()
    {
        if (joined_)
            return;
        stop_sco_audio(nullptr);
        pthread_join(playback_, nullptr);
        pthread_join(capture_, nullptr);
        joined_ = true;
    }
    void join()
    {
        pthread_join(playback_, nullptr);
        pthread_join(capture_, nullptr);
        joined_ = true;
    }

private:
    pthread_t playback_{}, capture_{};
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

// Capture chunk and SCO piece sizes for the reported MTU and the echo
// canceller switch; a zero or absurd MTU must neither spin nor overflow.
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
        {"echo path, mtu 48", 48, true, {48, 48, 48, 16}},
        {"echo path, mtu 60", 60, true, {60, 60, 40}},
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

}  // namespace
