// The socket shim itself: what the product and libbluetooth rely on from the
// kernel's Bluetooth sockets.
#include "harness.h"
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sco.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace {

int connect_rfcomm(const char* addr, int channel, int* err)
{
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    sockaddr_rc a{};
    a.rc_family = AF_BLUETOOTH;
    str2ba(addr, &a.rc_bdaddr);
    a.rc_channel = static_cast<uint8_t>(channel);
    *err = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
    if (*err)
        close(fd);
    return *err ? -1 : fd;
}

TEST_F(ShimTest, ConnectErrorsAreTheKernels)
{
    phone->listen_rfcomm(2);
    phone->listen_rfcomm(4);
    int first = -1;
    struct Row {
        const char* what;
        const char* addr;
        int channel;
        int err;
        std::function<void()> before = [] {};
        bool keep = false;
    };
    const Row rows[] = {
        {"phone without that service", kPhone, 3, ECONNREFUSED},
        {"no phone at that address", "00:11:22:33:44:66", 2, EHOSTDOWN},
        {"phone out of range", kPhone, 2, EHOSTDOWN, [&] { phone->set_in_range(false); }},
        {"back in range", kPhone, 2, 0, [&] { phone->set_in_range(true); }, true},
        // One link per channel: a second one while the first is up is
        // refused, another channel is not, and once the first is gone the
        // channel is free.
        {"second link to a channel in use", kPhone, 2, EBUSY},
        {"another channel", kPhone, 4, 0},
        {"channel free again", kPhone, 2, 0, [&] { close(first); }},
    };
    for (const Row& r : rows) {
        r.before();
        int err = -1;
        int fd = connect_rfcomm(r.addr, r.channel, &err);
        EXPECT_EQ(err, r.err) << r.what << ": " << strerror(err);
        if (r.keep)
            first = fd;
        else if (fd >= 0)
            close(fd);
    }
    EXPECT_EQ(phone->busy_refusals(), 1);
}

// Close-on-exec: a child the product starts must not keep the link open.
TEST_F(ShimTest, RfcommCarriesBytesBothWaysAndKeepsCloseOnExec)
{
    phone->listen_rfcomm(7);
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    sockaddr_rc a{AF_BLUETOOTH, {}, 7};
    str2ba(kPhone, &a.rc_bdaddr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    ASSERT_EQ(send(fd, "AT+CHUP\r", 8, 0), 8);
    ASSERT_TRUE(phone->wait_for_command("AT+CHUP", 3000));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 3000), 1);
    char buf[64] = {};
    EXPECT_GT(read(fd, buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "\r\nOK\r\n");
    close(fd);
}

TEST_F(ShimTest, ScoOptionsAndVoiceSetting)
{
    phone->listen_sco();
    phone->set_sco_mtu(60);
    int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_SCO);
    ASSERT_GE(fd, 0);
    sco_options opts{};
    socklen_t len = sizeof opts;
    EXPECT_EQ(getsockopt(fd, SOL_SCO, SCO_OPTIONS, &opts, &len), -1);
    EXPECT_EQ(errno, ENOTCONN) << "no MTU before the link is up";

    bt_voice voice{0x0060};
    EXPECT_EQ(setsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &voice, sizeof voice), 0);
    voice.setting = 0x1234;
    EXPECT_EQ(setsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &voice, sizeof voice), -1);
    EXPECT_EQ(errno, EINVAL);
    voice = {};
    len = sizeof voice;
    EXPECT_EQ(getsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &voice, &len), 0);
    EXPECT_EQ(voice.setting, 0x0060);

    sockaddr_sco a{};
    a.sco_family = AF_BLUETOOTH;
    str2ba(kPhone, &a.sco_bdaddr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    len = sizeof opts;
    ASSERT_EQ(getsockopt(fd, SOL_SCO, SCO_OPTIONS, &opts, &len), 0);
    EXPECT_EQ(opts.mtu, 60);

    int ph = phone->accept_sco(3000);
    ASSERT_GE(ph, 0);
    char frame[60] = {1, 2, 3}, in[200];
    EXPECT_EQ(send(fd, frame, sizeof frame, 0), 60);
    EXPECT_EQ(recv(ph, in, sizeof in, 0), 60) << "packet boundaries kept";
    phone->drop_sco(ph);
    EXPECT_EQ(recv(fd, in, sizeof in, 0), 0) << "the phone closing the link ends the product's reads";
    close(fd);
}

TEST_F(ShimTest, ReusedDescriptorIsNoLongerTreatedAsBluetooth)
{
    close(socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM));
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // Whichever got the old number must behave as a plain socket again.
    int opt = 0;
    socklen_t len = sizeof opt;
    EXPECT_EQ(getsockopt(pair[0], SOL_SOCKET, SO_TYPE, &opt, &len), 0);
    EXPECT_EQ(opt, SOCK_STREAM);
    bt_voice voice{0x0060};
    EXPECT_EQ(setsockopt(pair[0], SOL_BLUETOOTH, BT_VOICE, &voice, sizeof voice), -1);
    close(pair[0]);
    close(pair[1]);
}

TEST_F(ShimTest, WithoutTheFolderBluetoothIsMissingAsOnThisKernel)
{
    unsetenv("TELVANE_BT_SHIM_DIR");
    EXPECT_EQ(socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
}

}  // namespace
