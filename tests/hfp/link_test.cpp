// The HFP link to the simulated phone over real (shimmed) Bluetooth sockets:
// the channel lookup through libbluetooth's SDP client, the RFCOMM open and
// the close. The handshake's phone traces run over a socketpair (unit tests).
#include "audio/sco.h"
#include "audio_log_capture.h"
#include "core/at.h"
#include "shim_fixture.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/sco.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <thread>

namespace {

TEST_F(ShimTest, ChannelLookupFindsTheFirstRecordWithAnRfcommChannel)
{
    struct Row {
        const char* name;
        bool server;   // and so it answers a search
        std::vector<sim::SdpRecord> records;
        int channel;              // expected hfp_channel
        int known = 0;            // hfp_channel before
        const char* fault = "";   // fault-connect-l2cap
    };
    const Row rows[] = {
        {"several records: the first with a non-zero channel wins", true,
         {{0x111F, -1, false}, {0x111F, 0, false}, {0x111F, 7, false}, {0x111F, 9, false}}, 7},
        {"protocols as 128-bit UUIDs", true, {{0x111F, 12, true}}, 12},
        {"a headset gateway record is not matched", true, {{0x1112, 2, false}}, 0},
        {"no SDP server: no channel, none assumed", false, {}, 0},
        {"busy SDP connect is retried", true, {{0x111F, 8, false}}, 8, 0, "EBUSY 2"},
        {"a known channel is kept when a later lookup finds nothing", true, {}, 6, 6},
    };
    int n = 60;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::SimPhone p(dir.path(), "00:11:22:33:44:" + std::to_string(n++));
        copy_text(device_addr, p.address());
        hfp_channel = row.known;
        if (row.server)
            p.start_sdp(row.records);
        if (*row.fault)
            th::write_file(dir.file("fault-connect-l2cap"), row.fault);
        hfp_lookup_channel();
        EXPECT_EQ(hfp_channel.load(), row.channel);
        EXPECT_EQ(p.hfp_sdp_search_count() > 0, row.server);
        EXPECT_FALSE(th::file_exists(dir.file("fault-connect-l2cap"))) << "every refusal was used";
    }
}

// The caller logs a socket error apart from a failed connect, and reads
// the connect's errno (ECONNREFUSED: no service on that channel).
TEST_F(ShimTest, OpenTellsASocketErrorFromAFailedConnect)
{
    bool socket_failed = true;
    hfp_channel = 3;
    errno = 0;
    EXPECT_EQ(hfp_rfcomm_open(&socket_failed), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_FALSE(socket_failed);
    th::write_file(dir.file("fault-socket-rfcomm"), "EMFILE");
    EXPECT_EQ(hfp_rfcomm_open(&socket_failed), -1);
    EXPECT_TRUE(socket_failed);
}

std::vector<std::string> close_and_log()
{
    th::StdoutCapture log;
    hfp_close();
    return log.lines();
}

// Closing with nothing open is harmless, also twice; with a voice link up it
// goes, and the hands-free link is left alone.
TEST_F(ShimTest, HfpCloseEndsTheVoiceLinkButNotTheHandsFreeLink)
{
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(close_and_log(), std::vector<std::string>{"✓ HFP connection closed"});

    phone->listen_rfcomm(3);
    phone->listen_sco();
    hfp_channel = 3;
    hfp_listen_socket = hfp_rfcomm_open(nullptr);
    ASSERT_GE(hfp_listen_socket.load(), 0);
    ASSERT_TRUE(phone->wait_for_connections(1, 3000));
    std::vector<int> conns = phone->connections();
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
    char buf[64];
    EXPECT_EQ(recv(phone_sco, buf, sizeof buf, 0), 0) << "SCO link closed at the phone";
    EXPECT_TRUE(phone->is_open(conns[0])) << "hands-free link untouched";
    close(hfp_listen_socket.exchange(-1));
}

}  // namespace
