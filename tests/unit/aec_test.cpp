// The echo canceller on the system's webrtc library and the render FIFO
// between the two pumps.
#include "app/log.h"
#include "audio/aec.h"
#include "audio/sco.h"
#include "audio_log_capture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

namespace {

struct AecDeleter {
    void operator()(AecInstance* a) const { aec_destroy(a); }
};
using AecPtr = std::unique_ptr<AecInstance, AecDeleter>;

TEST(EchoCanceller, AcceptsOnlyUsableRatesAndTenMillisecondFrames)
{
    for (auto [rate, usable] : {std::pair{8000, true}, std::pair{16000, true}, std::pair{0, false},
                                std::pair{-8000, false}, std::pair{1000000, false}})
        EXPECT_EQ(AecPtr(aec_create(rate)) != nullptr, usable) << rate;
    AecPtr aec(aec_create(8000));
    ASSERT_TRUE(aec);
    std::vector<int16_t> render(200, 1000);
    struct Row {
        const char* name;
        AecInstance* instance;
        bool capture, render;
        int count, result;
    };
    const Row rows[] = {
        {"one 10 ms frame", aec.get(), true, true, 80, 0}, {"20 ms", aec.get(), true, true, 160, -1},
        {"one short", aec.get(), true, true, 79, -1},       {"no instance", nullptr, true, true, 80, -1},
        {"no capture", aec.get(), false, true, 80, -1},     {"no render", aec.get(), true, false, 80, -1},
    };
    for (const Row& row : rows) {
        std::vector<int16_t> capture(200, 1234);
        int r = aec_process(row.instance, row.capture ? capture.data() : nullptr, row.render ? render.data() : nullptr,
                            row.count);
        EXPECT_EQ(r, row.result) << row.name;
        EXPECT_TRUE(r == 0 || capture == std::vector<int16_t>(200, 1234)) << row.name << ": buffer changed";
    }
}

// Speech-like test signal: noise through a gentle low-pass, in syllables.
std::vector<int16_t> speech_like(size_t count, unsigned seed, double level)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 1);
    std::vector<int16_t> out(count);
    double lp = 0;
    for (size_t i = 0; i < count; ++i) {
        lp = 0.6 * lp + 0.4 * noise(rng);
        double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 3.5 * double(i) / 8000);
        out[i] = static_cast<int16_t>(std::clamp(level * envelope * lp, -32000.0, 32000.0));
    }
    return out;
}

double energy(const std::vector<int16_t>& v, size_t from, size_t to)
{
    double e = 0;
    for (size_t i = from; i < to; ++i)
        e += double(v[i]) * v[i];
    return e;
}

TEST(EchoCanceller, RemovesAtLeastTenDecibelsOfEchoAfterConvergence)
{
    AecPtr aec(aec_create(8000));
    ASSERT_TRUE(aec);
    const size_t total = 8000 * 8, delay = 320;   // 8 s, echo 40 ms late
    std::vector<int16_t> far = speech_like(total, 1, 6000);
    std::vector<int16_t> mic(total), out(total);
    for (size_t i = 0; i < total; ++i)
        mic[i] = i >= delay ? static_cast<int16_t>(far[i - delay] / 2) : 0;   // -6 dB
    for (size_t f = 0; f + 80 <= total; f += 80) {
        std::copy(mic.begin() + long(f), mic.begin() + long(f + 80), out.begin() + long(f));
        ASSERT_EQ(aec_process(aec.get(), out.data() + f, far.data() + f, 80), 0) << "frame " << f / 80;
    }
    // ERLE over the last 3 s.
    double erle = 10 * std::log10(energy(mic, 8000 * 5, total) / std::max(energy(out, 8000 * 5, total), 1.0));
    EXPECT_GE(erle, 10.0);
    std::printf("ERLE after convergence: %.1f dB\n", erle);
}

std::vector<int16_t> ramp(int from, int count = 80)
{
    std::vector<int16_t> v(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        v[static_cast<size_t>(i)] = static_cast<int16_t>(from + i);
    return v;
}

void push_ramp(int from, int count) { aec_fifo_push(ramp(from, count).data(), count); }

std::vector<int16_t> pop(bool* real = nullptr)
{
    std::vector<int16_t> out(80, -1);
    bool r = aec_fifo_pop_frame(out.data());
    if (real)
        *real = r;
    return out;
}

// Underflow gives silence and takes nothing; overflow drops the oldest; the
// ring wraps in order; empty pushes change nothing.
TEST(RenderFifo, UnderflowOverflowAndWrap)
{
    for (auto [queued, real_frame, left] : {std::tuple{0, false, 0}, std::tuple{79, false, 79}, std::tuple{81, true, 1}}) {
        SCOPED_TRACE(queued);
        aec_fifo_reset();
        push_ramp(100, queued);
        bool real = true;
        EXPECT_EQ(pop(&real), real_frame ? ramp(100) : std::vector<int16_t>(80, 0));
        EXPECT_EQ(real, real_frame);
        EXPECT_EQ(aec_fifo_size, left);
    }
    aec_fifo_reset();
    push_ramp(0, 4010);
    EXPECT_EQ(aec_fifo_size, 4000);
    EXPECT_EQ(pop(), ramp(10));
    aec_fifo_reset();
    push_ramp(0, 3960);
    for (int i = 0; i < 49; ++i)
        pop();
    push_ramp(5000, 120);   // crosses index 3999 -> 0
    std::vector<int16_t> first = ramp(3920);
    std::copy_n(ramp(5000).begin(), 40, first.begin() + 40);
    EXPECT_EQ(pop(), first);
    EXPECT_EQ(pop(), ramp(5040));
    aec_fifo_push(nullptr, 10);
    int16_t one = 1;
    aec_fifo_push(&one, 0);
    EXPECT_EQ(aec_fifo_size, 0);
}

// Only a stop that finds the link open logs, after what was queued before it.
TEST(StopScoAudio, ResetsTheEchoCancellerAndLogsOnlyWhenSomethingWasActive)
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
        aec_handle = aec_create(8000);
        aec_enabled.store(1);
        push_ramp(0, 100);
        post_log("queued before");
        stop_sco_audio(const_cast<char*>(message));
        EXPECT_EQ(sco_socket.load(), -1);
        EXPECT_EQ(aec_handle, nullptr);
        EXPECT_EQ(aec_enabled.load(), 0);
        EXPECT_EQ(aec_fifo_size, 0);
        std::vector<std::string> lines{"queued before"};
        if (socket_open)
            lines.push_back("🔊 SCO closed");
        EXPECT_EQ(log.lines(), lines);
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
        std::thread a([] { stop_sco_audio(nullptr); });
        std::thread b([] { stop_sco_audio(nullptr); });
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

}  // namespace
