// A call's voice through the real binary: the simulated phone over the
// Bluetooth socket shim on one side, a real PulseAudio daemon on the other.
#include "audio_phone.h"
#include "audio_pulse.h"
#include "harness.h"
#include "simphone.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>

namespace {

const std::string kAddr = "00:11:22:33:44:55";
const char* kListenerReady = "✓ Incoming call listener ready";

int16_t tone(uint64_t i, double f) { return static_cast<int16_t>(8000 * std::sin(2 * M_PI * f * double(i) / 8000)); }

struct AudioCallWorld {
    explicit AudioCallWorld(const std::string& pulse_server) : phone(shim.path(), kAddr)
    {
        phone.serve_hfp(5);
        phone.listen_sco();
        phone.set_sco_mtu(48);
        world.bluez->add_device(kAddr, "Sim Phone");
        world.bluez->pair_device(kAddr);
        world.bluez->connect_device(kAddr);
        env = sim::shim_env(shim.path());
        env["PULSE_SERVER"] = pulse_server;
        app = std::make_unique<th::Telvane>(world, std::vector<std::string>{}, env);
    }
    // Dials through a second launch, as a tel: link would, and lets the
    // phone report the call active.
    int start_call()
    {
        if (!app->wait_for_output(kListenerReady, 20000))
            return -1;
        th::Telvane second(world, {"tel:0301234567"}, env, "second.out");
        second.wait_exit(15000);
        int fd = phone.accept_sco(15000);
        phone.set_indicator("call", 1, true);
        phone.set_indicator("callsetup", 0, true);
        return fd;
    }
    void end_call() { phone.set_indicator("call", 0, true); }
    std::string out() const { return app->output(); }

    th::TestWorld world;
    th::TempDir shim;
    sim::SimPhone phone;
    th::Env env;
    std::unique_ptr<th::Telvane> app;
};

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
