// A call's voice through the real binary: the simulated phone over the
// Bluetooth socket shim on one side, a real PulseAudio daemon on the other.
#include "audio_call_world.h"
#include "audio_phone.h"
#include "audio_pulse.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>

namespace {

int16_t tone(uint64_t i, double f) { return static_cast<int16_t>(8000 * std::sin(2 * M_PI * f * double(i) / 8000)); }

using th::AudioCallWorld;

TEST(CallAudio, VoiceFlowsBothWaysAndStopsWhenTheCallEnds)
{
    th::PulseServer pulse;
    th::SignalPlayer mic(pulse.server(), "mic", 440);
    AudioCallWorld w(pulse.server());
    int fd = w.start_call();
    ASSERT_GE(fd, 0) << w.out();
    th::ScoPeer peer(dup(fd), 48);
    peer.start_sending([](uint64_t i) { return tone(i, 1000); });
    ASSERT_TRUE(w.app->wait_for_output("🔊 Speaker active - phone audio coming")) << w.out();
    ASSERT_TRUE(w.app->wait_for_output("🎤 Microphone active - your voice going to phone")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("✓ Call active")) << w.out();

    // The phone's tone comes out of the sound server's default sink...
    ASSERT_TRUE(th::wait_until([&] { return peer.received_count() > 4000; }, 8000));
    EXPECT_GT(th::tone_share(th::record_source(pulse.server(), "null.monitor", 400), 1000), 0.5);
    // ...and the default source's tone reaches the phone, one MTU a packet.
    uint64_t mark = peer.received_count();
    ASSERT_TRUE(th::wait_until([&] { return peer.received_count() > mark + 3200; }, 5000));
    EXPECT_GT(th::tone_share(peer.received_since(mark), 440), 0.5);
    for (const auto& p : peer.received_packets())
        ASSERT_EQ(p.bytes, 48u);
    EXPECT_EQ(pulse.client_streams("sink-inputs", "TELVANE"), 1);
    EXPECT_EQ(pulse.client_streams("source-outputs", "Telvane"), 1);

    w.end_call();
    ASSERT_TRUE(w.app->wait_for_output("🔇 Speaker closed")) << w.out();
    ASSERT_TRUE(w.app->wait_for_output("🔇 Microphone closed")) << w.out();
    EXPECT_TRUE(th::wait_until([&] { return peer.link_closed_by_host(); }, 5000));
    EXPECT_TRUE(th::wait_until([&] { return pulse.client_streams("sink-inputs", "TELVANE") == 0; }, 3000));
    EXPECT_EQ(pulse.client_streams("source-outputs", "Telvane"), 0);
    EXPECT_LT(th::rms(th::record_source(pulse.server(), "null.monitor", 200)), 50);

    std::string out = w.out();
    size_t connecting = out.find("🔊 SCO audio connecting...");
    size_t connected = out.find("✓ SCO audio connected", connecting);
    size_t mtu = out.find("ℹ️ SCO MTU: 48 byte", connected);
    size_t aec = out.find("⚠️ WebRTC AEC disabled (robot voice prevention)", mtu);
    ASSERT_NE(aec, std::string::npos) << out;
    EXPECT_LT(connecting, connected);
    EXPECT_LT(aec, out.find("🔊 Speaker active"));
    EXPECT_LT(aec, out.find("🎤 Microphone active"));
    EXPECT_LT(out.find("🔊 Speaker active"), out.find("🔇 Speaker closed"));
    EXPECT_EQ(out.find("⚠️ Phone audio cut"), std::string::npos) << out;
    EXPECT_EQ(out.find("send error"), std::string::npos) << out;
    EXPECT_TRUE(w.app->process().running());
}

TEST(CallAudio, WithoutASoundServerTheCallGoesOnSilently)
{
    th::TempDir nowhere;
    AudioCallWorld w("unix:" + nowhere.file("none"));
    int fd = w.start_call();
    ASSERT_GE(fd, 0) << w.out();
    th::ScoPeer peer(dup(fd), 48);
    peer.start_sending([](uint64_t i) { return tone(i, 1000); });
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Speaker could not be opened: ")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Microphone could not be opened: ")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("✓ Call active")) << w.out();
    EXPECT_FALSE(peer.link_closed_by_host());   // the link stays up without audio
    w.end_call();
    EXPECT_TRUE(th::wait_until([&] { return peer.link_closed_by_host(); }, 5000)) << w.out();
    EXPECT_EQ(w.app->count("🔇 Speaker closed"), 0);
    EXPECT_TRUE(w.app->process().running());
}

}  // namespace
