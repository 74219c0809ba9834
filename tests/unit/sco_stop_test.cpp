// stop_sco_audio without a link: what it logs and what it closes.
#include "app/log.h"
#include "audio/sco.h"
#include "audio_log_capture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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
