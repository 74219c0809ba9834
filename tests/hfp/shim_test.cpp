// The socket shim itself: what the product and libbluetooth rely on from the
// kernel's Bluetooth sockets, each call failing with the kernel's errno.
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sco.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <thread>
#include <tuple>

namespace {

int error_of(int result) { return result < 0 ? errno : 0; }

TEST_F(ShimTest, SocketCallsFailAsTheKernelsDo)
{
    phone->listen_rfcomm(2);
    phone->listen_rfcomm(4);
    int first = -1, sco = socket(AF_BLUETOOTH, SOCK_SEQPACKET, BTPROTO_SCO);
    // The connect's errno; keep: the link stays up as `first`.
    auto rfcomm = [&](const char* addr, int channel, bool keep = false) {
        int fd = socket(AF_BLUETOOTH, SOCK_STREAM | SOCK_CLOEXEC, BTPROTO_RFCOMM);
        sockaddr_rc a{AF_BLUETOOTH, {}, static_cast<uint8_t>(channel)};
        str2ba(addr, &a.rc_bdaddr);
        int err = error_of(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        // A child the product starts must not keep the link open.
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        if (keep)
            first = fd;
        else
            close(fd);
        return err;
    };
    auto voice = [](int fd, uint16_t setting) {
        bt_voice v{setting};
        return error_of(setsockopt(fd, SOL_BLUETOOTH, BT_VOICE, &v, sizeof v));
    };
    const std::tuple<const char*, std::function<int()>, int> rows[] = {   // what, the call, its errno
        {"phone without that service", [&] { return rfcomm(kPhone, 3); }, ECONNREFUSED},
        {"no phone at that address", [&] { return rfcomm("00:11:22:33:44:66", 2); }, EHOSTDOWN},
        {"phone out of range", [&] { phone->set_in_range(false); return rfcomm(kPhone, 2); }, EHOSTDOWN},
        {"back in range", [&] { phone->set_in_range(true); return rfcomm(kPhone, 2, true); }, 0},
        // One link per channel: another channel is free, and so is this one
        // once its link is gone.
        {"second link to a channel in use", [&] { return rfcomm(kPhone, 2); }, EBUSY},
        {"another channel", [&] { return rfcomm(kPhone, 4); }, 0},
        {"channel free again", [&] { close(first); return rfcomm(kPhone, 2); }, 0},
        {"no SCO MTU before the link is up", [&] {
             sco_options opts{};
             socklen_t len = sizeof opts;
             return error_of(getsockopt(sco, SOL_SCO, SCO_OPTIONS, &opts, &len));
         }, ENOTCONN},
        {"CVSD voice setting", [&] { return voice(sco, 0x0060); }, 0},
        {"any other voice setting", [&] { return voice(sco, 0x1234); }, EINVAL},
        // Whichever got a closed Bluetooth socket's number is a plain socket again.
        {"reused descriptor", [&] {
             close(sco);
             int plain = socket(AF_UNIX, SOCK_STREAM, 0);
             int err = voice(plain, 0x0060);
             close(plain);
             return err;
         }, EOPNOTSUPP},
        {"without the folder, Bluetooth is missing as on this kernel", [&] {
             unsetenv("TELVANE_BT_SHIM_DIR");
             return error_of(socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM));
         }, EAFNOSUPPORT},
    };
    for (const auto& [what, call, err] : rows)
        EXPECT_EQ(call(), err) << what;
    EXPECT_EQ(phone->busy_refusals(), 1);
}

// The phone's voice link as the kernel hands it over with deferred setup:
// the first read completes it; an adapter that cannot carry the coding the
// listener chose fails it only then, and the socket ends with that error.
TEST_F(ShimTest, AnAcceptedLinkCompletesOnItsFirstReadOrFailsInACodingTheAdapterCannotCarry)
{
    constexpr const char* kPc = "AA:BB:CC:DD:EE:01";
    phone->set_pc_address(kPc);
    const struct {
        const char* what;
        uint16_t setting;
        bool refuse_transparent;
        bool up;   // the phone's connect completes, the socket is writable
        int later_read;   // errno of the reads after the first
    } rows[] = {
        {"CVSD", 0x0060, true, true, EAGAIN},
        {"transparent, carried", 0x0003, false, true, EAGAIN},
        {"transparent, the adapter cannot", 0x0003, true, false, ENOTCONN},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        phone->refuse_transparent(row.refuse_transparent);
        int lfd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_SCO);
        sockaddr_sco a{};
        a.sco_family = AF_BLUETOOTH;
        str2ba(kPc, &a.sco_bdaddr);
        uint32_t defer = 1;
        bt_voice v{row.setting};
        ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(setsockopt(lfd, SOL_BLUETOOTH, BT_DEFER_SETUP, &defer, sizeof defer), 0);
        ASSERT_EQ(setsockopt(lfd, SOL_BLUETOOTH, BT_VOICE, &v, sizeof v), 0);
        ASSERT_EQ(listen(lfd, 1), 0);
        // The coding goes before listen or on the accepted link, never on a listener.
        EXPECT_EQ(error_of(setsockopt(lfd, SOL_BLUETOOTH, BT_VOICE, &v, sizeof v)), EINVAL);
        int phone_end = -1;
        std::thread opener([&] { phone_end = phone->open_sco_to_pc(3000); });
        int link = accept(lfd, nullptr, nullptr);
        ASSERT_GE(link, 0);
        EXPECT_EQ(error_of(setsockopt(link, SOL_BLUETOOTH, BT_VOICE, &v, sizeof v)), 0);
        char byte;
        EXPECT_EQ(read(link, &byte, 1), 0);
        opener.join();
        EXPECT_EQ(phone_end >= 0, row.up);
        EXPECT_EQ(error_of(setsockopt(link, SOL_BLUETOOTH, BT_VOICE, &v, sizeof v)), EINVAL);
        pollfd p{link, POLLOUT, 0};
        ASSERT_EQ(poll(&p, 1, 1000), 1);
        EXPECT_EQ((p.revents & (POLLERR | POLLHUP)) != 0, !row.up);
        int err = -1;
        socklen_t len = sizeof err;
        EXPECT_EQ(getsockopt(link, SOL_SOCKET, SO_ERROR, &err, &len), 0);
        EXPECT_EQ(err, row.up ? 0 : EOPNOTSUPP);
        EXPECT_EQ(error_of(static_cast<int>(recv(link, &byte, 1, MSG_DONTWAIT))), row.later_read);
        close(link);
        close(lfd);
    }
}

}  // namespace
