// hfp_close over real (shimmed) RFCOMM and SCO links to the simulated phone.
#include "audio/sco.h"
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sco.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

namespace {

std::atomic<int> monitor_finished{0};

// Stands in for the call monitor with the contract hfp_close relies on: it
// waits on hfp_socket in 500 ms rounds until the flag is cleared or the
// socket is closed.
gpointer monitor_stand_in(gpointer)
{
    while (hfp_monitor_running.load()) {
        int fd = hfp_socket.load();
        if (fd < 0)
            break;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval tv{0, 500000};
        select(fd + 1, &set, nullptr, nullptr, &tv);
    }
    hfp_monitor_running = 0;
    monitor_finished = 1;
    return nullptr;
}

// The messages of the logged lines, without their time stamps.
std::vector<std::string> messages(const std::string& out)
{
    std::vector<std::string> lines;
    std::regex stamp(R"(^\[\d\d:\d\d:\d\d\] )");
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        lines.push_back(std::regex_replace(out.substr(start, end - start), stamp, ""));
        start = end + 1;
    }
    return lines;
}

int open_sco(const char* addr)
{
    int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_SCO);
    sockaddr_sco a{};
    a.sco_family = AF_BLUETOOTH;
    str2ba(addr, &a.sco_bdaddr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class Close : public ShimTest {
protected:
    void SetUp() override
    {
        ShimTest::SetUp();
        phone->listen_rfcomm(3);
        phone->listen_sco();
        monitor_finished = 0;
    }
    void TearDown() override
    {
        for (std::atomic<int>* fd : {&hfp_socket, &hfp_listen_socket, &sco_socket}) {
            int old = fd->exchange(-1);
            if (old >= 0)
                close(old);
        }
        sco_audio_running = 0;
        hfp_monitor_running = 0;
        ShimTest::TearDown();
    }
};

TEST_F(Close, NothingOpenLogsOnlyTheClosedLine)
{
    std::string out = logged([] { hfp_close(); });
    EXPECT_EQ(messages(out), std::vector<std::string>{"✓ HFP connection closed"});
    // And again: closing twice is as harmless.
    out = logged([] { hfp_close(); });
    EXPECT_EQ(messages(out), std::vector<std::string>{"✓ HFP connection closed"});
}

TEST_F(Close, DialConnectionAndMonitorAreClosedAndJoined)
{
    hfp_socket = hfp_rfcomm_open(nullptr);
    ASSERT_GE(hfp_socket.load(), 0);
    ASSERT_TRUE(phone->wait_for_connections(1, 3000));
    int conn = phone->latest_connection();
    hfp_monitor_running = 1;
    hfp_monitor_thread_handle = g_thread_new("hfp_monitor", monitor_stand_in, nullptr);

    std::string out = logged([] { hfp_close(); });
    EXPECT_EQ(messages(out), std::vector<std::string>{"✓ HFP connection closed"});
    EXPECT_EQ(hfp_socket.load(), -1);
    EXPECT_EQ(hfp_monitor_thread_handle.load(), nullptr);
    EXPECT_EQ(monitor_finished.load(), 1) << "joined, so it has ended";
    EXPECT_EQ(hfp_monitor_running.load(), 0);
    EXPECT_TRUE(phone->wait_for_close(conn, 3000)) << "the phone sees the link go";
}

TEST_F(Close, OpenScoLinkIsClosedFirstAndTheListenerIsLeftAlone)
{
    hfp_listen_socket = hfp_rfcomm_open(nullptr);
    ASSERT_GE(hfp_listen_socket.load(), 0);
    // The kernel allows one link per channel: the dial connection uses another.
    phone->listen_rfcomm(4);
    hfp_channel = 4;
    hfp_socket = hfp_rfcomm_open(nullptr);
    ASSERT_GE(hfp_socket.load(), 0);
    ASSERT_TRUE(phone->wait_for_connections(2, 3000));
    std::vector<int> conns = phone->connections();
    sco_socket = open_sco(kPhone);
    ASSERT_GE(sco_socket.load(), 0);
    sco_audio_running = 1;
    int phone_sco = phone->accept_sco(3000);
    ASSERT_GE(phone_sco, 0);

    std::string out = logged([] { hfp_close(); });
    EXPECT_EQ(messages(out), (std::vector<std::string>{"🔊 SCO audio closed", "✓ HFP connection closed"}));
    EXPECT_EQ(sco_socket.load(), -1);
    EXPECT_EQ(sco_audio_running.load(), 0);
    EXPECT_EQ(hfp_socket.load(), -1);
    char buf[64];
    EXPECT_EQ(recv(phone_sco, buf, sizeof buf, 0), 0) << "SCO link closed at the phone";
    EXPECT_TRUE(phone->wait_for_close(conns[1], 3000)) << "dial connection closed";
    EXPECT_GE(hfp_listen_socket.load(), 0);
    EXPECT_TRUE(phone->is_open(conns[0])) << "listener connection untouched";
}

}  // namespace
