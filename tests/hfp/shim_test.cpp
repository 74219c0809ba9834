// The socket shim itself: what the product and libbluetooth rely on from the
// kernel's Bluetooth sockets, and the injectable faults.
#include "harness.h"
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sco.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int connect_rfcomm(const char* addr, int channel, int* err)
{
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    sockaddr_rc a{};
    a.rc_family = AF_BLUETOOTH;
    str2ba(addr, &a.rc_bdaddr);
    a.rc_channel = static_cast<uint8_t>(channel);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    *err = rc == 0 ? 0 : errno;
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_sco(const char* addr, int* err)
{
    int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_SCO);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    sockaddr_sco a{};
    a.sco_family = AF_BLUETOOTH;
    str2ba(addr, &a.sco_bdaddr);
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    *err = rc == 0 ? 0 : errno;
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(ShimTest, ConnectErrorsAreTheKernels)
{
    phone->listen_rfcomm(2);
    struct Row {
        const char* what;
        const char* addr;
        int channel;
        int err;
    };
    const Row rows[] = {
        {"served channel", kPhone, 2, 0},
        {"phone without that service", kPhone, 3, ECONNREFUSED},
        {"no phone at that address", "00:11:22:33:44:66", 2, EHOSTDOWN},
    };
    for (const Row& r : rows) {
        int err = -1;
        int fd = connect_rfcomm(r.addr, r.channel, &err);
        EXPECT_EQ(err, r.err) << r.what << ": " << strerror(err);
        if (fd >= 0)
            close(fd);
    }
    phone->set_in_range(false);
    int err = 0;
    EXPECT_LT(connect_rfcomm(kPhone, 2, &err), 0);
    EXPECT_EQ(err, EHOSTDOWN) << "phone out of range";
    phone->set_in_range(true);
    int fd = connect_rfcomm(kPhone, 2, &err);
    EXPECT_GE(fd, 0) << "back in range: " << strerror(err);
    close(fd);

    // One link per channel: a second one while the first is up is refused,
    // another channel is not, and once the first is gone the channel is free.
    phone->listen_rfcomm(4);
    int first = connect_rfcomm(kPhone, 2, &err);
    ASSERT_GE(first, 0) << strerror(err);
    EXPECT_LT(connect_rfcomm(kPhone, 2, &err), 0);
    EXPECT_EQ(err, EBUSY) << "second link to a channel in use";
    EXPECT_EQ(phone->busy_refusals(), 1);
    int other = connect_rfcomm(kPhone, 4, &err);
    EXPECT_GE(other, 0) << "another channel: " << strerror(err);
    close(other);
    close(first);
    fd = connect_rfcomm(kPhone, 2, &err);
    EXPECT_GE(fd, 0) << "channel free again: " << strerror(err);
    close(fd);
    std::string log = th::read_file(dir.file("shim.log"));
    EXPECT_NE(log.find("connect rfcomm 00:11:22:33:44:55 2 EBUSY"), std::string::npos) << log;
    EXPECT_NE(log.find("connect rfcomm 00:11:22:33:44:55 3 ECONNREFUSED"), std::string::npos) << log;
    EXPECT_NE(log.find("connect rfcomm 00:11:22:33:44:66 2 EHOSTDOWN"), std::string::npos) << log;
}

TEST_F(ShimTest, RfcommCarriesBytesBothWaysAndReportsAddresses)
{
    phone->listen_rfcomm(7);
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_RFCOMM);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    sockaddr_rc local{};
    local.rc_family = AF_BLUETOOTH;
    str2ba("AA:BB:CC:00:11:22", &local.rc_bdaddr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    sockaddr_rc a{};
    a.rc_family = AF_BLUETOOTH;
    str2ba(kPhone, &a.rc_bdaddr);
    a.rc_channel = 7;
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);

    sockaddr_rc got{};
    socklen_t len = sizeof got;
    char text[18];
    ASSERT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&got), &len), 0);
    ba2str(&got.rc_bdaddr, text);
    EXPECT_STREQ(text, kPhone);
    EXPECT_EQ(got.rc_channel, 7);
    len = sizeof got;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&got), &len), 0);
    ba2str(&got.rc_bdaddr, text);
    EXPECT_STREQ(text, "AA:BB:CC:00:11:22");

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
    char frame[60] = {1, 2, 3};
    EXPECT_EQ(send(fd, frame, sizeof frame, 0), 60);
    char in[200];
    EXPECT_EQ(recv(ph, in, sizeof in, 0), 60) << "packet boundaries kept";
    phone->drop_sco(ph);
    EXPECT_EQ(recv(fd, in, sizeof in, 0), 0) << "the phone closing the link ends the product's reads";
    close(fd);
}

TEST_F(ShimTest, InjectedFaults)
{
    phone->listen_rfcomm(3);
    phone->listen_sco();
    int err = 0;

    th::write_file(dir.file("fault-connect-rfcomm"), "ECONNREFUSED\n");
    EXPECT_LT(connect_rfcomm(kPhone, 3, &err), 0);
    EXPECT_EQ(err, ECONNREFUSED);
    int fd = connect_rfcomm(kPhone, 3, &err);
    EXPECT_GE(fd, 0) << "a fault without count applies once";
    close(fd);

    phone->inject_fault("connect-sco", "EBUSY", 2);
    for (int i = 0; i < 2; i++) {
        EXPECT_LT(connect_sco(kPhone, &err), 0);
        EXPECT_EQ(err, EBUSY) << i;
    }
    fd = connect_sco(kPhone, &err);
    EXPECT_GE(fd, 0) << strerror(err);
    sco_options opts{};
    socklen_t len = sizeof opts;
    phone->inject_fault("getsockopt-sco_options", "EIO", 0);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(getsockopt(fd, SOL_SCO, SCO_OPTIONS, &opts, &len), -1);
        EXPECT_EQ(errno, EIO);
    }
    phone->clear_fault("getsockopt-sco_options");
    EXPECT_EQ(getsockopt(fd, SOL_SCO, SCO_OPTIONS, &opts, &len), 0);
    close(fd);

    th::write_file(dir.file("fault-setsockopt-bt_voice"), "ENOPROTOOPT");
    fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_SCO);
    bt_voice voice{0x0060};
    EXPECT_EQ(setsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &voice, sizeof voice), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
    close(fd);

    th::write_file(dir.file("fault-socket-rfcomm"), "EMFILE");
    EXPECT_EQ(socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM), -1);
    EXPECT_EQ(errno, EMFILE);
}

TEST_F(ShimTest, ReusedDescriptorIsNoLongerTreatedAsBluetooth)
{
    int fd = socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    ASSERT_GE(fd, 0);
    close(fd);
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
