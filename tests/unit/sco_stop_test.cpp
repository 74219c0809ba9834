// stop_sco_audio without a link: what it logs and what it closes; the echo
// canceller and the render FIFO the voice link owns.
#include "base/log.h"
#include "audio/aec.h"
#include "audio/sco.h"
#include "audio_log_capture.h"
#include "audio_pulse.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Only a stop that finds the link open logs, after what was queued before it.
TEST(StopScoAudio, LogsOnlyWhenSomethingWasActive)
{
    const std::tuple<const char*, bool, const char*> rows[] = {
        {"idle, no message", false, nullptr},
        {"idle with a message: another path got there first", false, "🔊 SCO closed"},
        {"open socket with a message", true, "🔊 SCO closed"},
    };
    for (auto [name, socket_open, message] : rows) {
        SCOPED_TRACE(name);
        th::StdoutCapture log;
        int sv[2] = {-1, -1};
        if (socket_open) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
            sco_socket.store(sv[0]);
        }
        post_log("queued before");
        stop_sco_audio(const_cast<char*>(message));
        EXPECT_EQ(sco_socket.load(), -1);
        using Lines = std::vector<std::string>;
        EXPECT_EQ(log.lines(), (socket_open ? Lines{"queued before", "🔊 SCO closed"} : Lines{"queued before"}));
        char c;
        EXPECT_TRUE(!socket_open || recv(sv[1], &c, 1, 0) == 0) << "the phone side sees the link go";
        if (socket_open)
            close(sv[1]);
    }
}

TEST(StopScoAudio, TwoConcurrentStopsCloseTheDescriptorOnce)
{
    for (int round = 0; round < 20; ++round) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        sco_socket.store(sv[0]);
        sco_audio_running.store(1);
        std::thread a([] { stop_sco_audio(nullptr); }), b([] { stop_sco_audio(nullptr); });
        // A descriptor opened now may take the freed number; a second close
        // by the other stop would take it away from its new owner.
        a.join();
        int other = dup(sv[1]);
        b.join();
        EXPECT_EQ(sco_socket.load(), -1);
        EXPECT_EQ(fcntl(other, F_GETFD), 0) << "round " << round;
        close(other);
        close(sv[1]);
    }
}

// When the user switches it on, the canceller runs at the call's rate: a
// 40 ms late echo at -6 dB of speech-like noise loses at least 10 dB.
TEST(EchoCanceller, RemovesEchoAtEachCallRateAndRefusesFramesItCannotTake)
{
    EXPECT_EQ(aec_create(0), nullptr);
    for (int rate : {8000, 16000, 32000}) {
        SCOPED_TRACE(rate);
        std::unique_ptr<AecInstance, void (*)(AecInstance*)> aec(aec_create(rate), aec_destroy);
        ASSERT_TRUE(aec);
        const size_t total = size_t(rate) * 8, delay = size_t(rate) / 25, frame = size_t(rate) / 100;
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0, 1);
        std::vector<int16_t> far(total), mic(total, 0), out;
        double lp = 0;
        for (size_t i = 0; i < total; ++i) {
            lp = 0.6 * lp + 0.4 * noise(rng);
            far[i] = int16_t(std::clamp(6000 * (0.55 + 0.45 * std::sin(2 * M_PI * 3.5 * double(i) / rate)) * lp, -32000.0, 32000.0));
            if (i >= delay)
                mic[i] = int16_t(far[i - delay] / 2);
        }
        out = mic;
        std::vector<int16_t> before(out.begin(), out.begin() + long(2 * frame));
        EXPECT_EQ(aec_process(aec.get(), out.data(), far.data(), int(2 * frame)), -1) << "only 10 ms frames";
        EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + long(2 * frame)), before) << "a refused frame is left alone";
        for (size_t f = 0; f + frame <= total; f += frame)
            ASSERT_EQ(aec_process(aec.get(), out.data() + f, far.data() + f, int(frame)), 0) << "frame " << f / frame;
        auto last_3_s = [&](const std::vector<int16_t>& v) { return th::rms({v.begin() + long(rate) * 5, v.end()}); };
        EXPECT_GE(20 * std::log10(last_3_s(mic) / last_3_s(out)), 10.0);
    }
}

// The far-end reference: a short queue gives silence and keeps what it has,
// an overfull one drops the oldest, and samples come out in order across the wrap.
TEST(EchoCanceller, RenderFifoUnderflowsToSilenceDropsTheOldestAndWrapsInOrder)
{
    auto ramp = [](int from, int count = kAecFrameSamples) {
        std::vector<int16_t> v(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            v[size_t(i)] = int16_t(from + i);
        return v;
    };
    auto push = [&](int from, int count) { aec_fifo_push(ramp(from, count).data(), count); };
    auto pop = [](bool expect_real) {
        std::vector<int16_t> out(kAecFrameSamples, -1);
        EXPECT_EQ(aec_fifo_pop_frame(out.data()), expect_real);
        return out;
    };
    aec_fifo_reset();
    push(100, 79);
    EXPECT_EQ(pop(false), std::vector<int16_t>(kAecFrameSamples, 0));
    EXPECT_EQ(aec_fifo_size, 79);
    aec_fifo_reset();
    push(0, kAecFifoCapacity + 10);
    EXPECT_EQ(pop(true), ramp(10));
    aec_fifo_reset();
    push(0, 3960);
    for (int i = 0; i < 49; ++i)
        pop(true);
    push(5000, 120);   // crosses the end of the array
    std::vector<int16_t> first = ramp(3920);
    std::copy_n(ramp(5000).begin(), 40, first.begin() + 40);
    EXPECT_EQ(pop(true), first);
    EXPECT_EQ(pop(true), ramp(5040));
    EXPECT_EQ(aec_fifo_size, 0);
}

}  // namespace
