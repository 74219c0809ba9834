// hfp_close over real (shimmed) RFCOMM and SCO links to the simulated phone.
#include "audio/sco.h"
#include "audio_log_capture.h"
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sco.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::atomic<int> monitor_finished{0};

// Stands in for the call monitor with the contract hfp_close relies on: it
// waits on hfp_socket in 500 ms rounds until the flag is cleared or the
// socket is closed.
gpointer monitor_stand_in(gpointer)
{
    for (int fd; hfp_monitor_running.load() && (fd = hfp_socket.load()) >= 0;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{0, 500000};
        select(fd + 1, &set, nullptr, nullptr, &tv);
    }
    monitor_finished = 1;
    return nullptr;
}

std::vector<std::string> close_and_log()
{
    th::StdoutCapture log;
    hfp_close();
    return log.lines();
}

// Closing with nothing open is harmless, also twice; with everything open,
// the SCO link goes first, the dial connection and the monitor are closed
// and joined, and the incoming-call listener's connection is left alone.
TEST_F(ShimTest, HfpCloseEndsTheDialConnectionMonitorAndScoButNotTheListener)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(close_and_log(), std::vector<std::string>{"✓ HFP connection closed"});

    phone->listen_rfcomm(3);
    phone->listen_sco();
    hfp_listen_socket = hfp_rfcomm_open(nullptr);
    ASSERT_GE(hfp_listen_socket.load(), 0);
    // The kernel allows one link per channel: the dial connection uses another.
    phone->listen_rfcomm(4);
    hfp_channel = 4;
    hfp_socket = hfp_rfcomm_open(nullptr);
    ASSERT_GE(hfp_socket.load(), 0);
    ASSERT_TRUE(phone->wait_for_connections(2, 3000));
    std::vector<int> conns = phone->connections();
    hfp_monitor_running = 1;
    hfp_monitor_thread_handle = g_thread_new("hfp_monitor", monitor_stand_in, nullptr);
    sockaddr_sco a{AF_BLUETOOTH, {}};
    str2ba(kPhone, &a.sco_bdaddr);
    sco_socket = socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_SCO);
    ASSERT_EQ(connect(sco_socket.load(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    sco_audio_running = 1;
    int phone_sco = phone->accept_sco(3000);
    ASSERT_GE(phone_sco, 0);

    EXPECT_EQ(close_and_log(), (std::vector<std::string>{"🔊 SCO audio closed", "✓ HFP connection closed"}));
    EXPECT_EQ(sco_socket.load(), -1);
    EXPECT_EQ(sco_audio_running.load(), 0);
    EXPECT_EQ(hfp_socket.load(), -1);
    EXPECT_EQ(hfp_monitor_thread_handle.load(), nullptr);
    EXPECT_EQ(monitor_finished.load(), 1) << "joined, so it has ended";
    EXPECT_EQ(hfp_monitor_running.load(), 0);
    char buf[64];
    EXPECT_EQ(recv(phone_sco, buf, sizeof buf, 0), 0) << "SCO link closed at the phone";
    EXPECT_TRUE(phone->wait_for_close(conns[1], 3000)) << "dial connection closed";
    EXPECT_TRUE(phone->is_open(conns[0])) << "listener connection untouched";
    close(hfp_listen_socket.exchange(-1));
}

}  // namespace
