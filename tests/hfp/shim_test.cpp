// The socket shim itself: what the product and libbluetooth rely on from the
// kernel's Bluetooth sockets, each call failing with the kernel's errno.
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sco.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
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

}  // namespace
