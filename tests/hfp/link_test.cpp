// The HFP link to the simulated phone over real (shimmed) Bluetooth sockets:
// the channel lookup through libbluetooth's SDP client, the RFCOMM open, both
// service-level handshakes against phone traces (what the phone answers to
// each command, byte for byte, and what we must send and learn from it), and
// the close.
#include "audio/sco.h"
#include "audio_log_capture.h"
#include "hfp/at.h"
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
        {"no SDP server: the default", false, {}, 0},
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

const std::string kOk = "\r\nOK\r\n", kError = "\r\nERROR\r\n", kDrop = "drop";   // drop: the link closes
const std::string kServiceFirst = "\r\n+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),"
                                  "(\"callheld\",(0-2)),(\"signal\",(0-5)),(\"roam\",(0,1)),(\"battchg\",(0-5))\r\n";
const std::string kCallFirst = "\r\n+CIND: (\"call\",(0,1)),(\"callsetup\",(0-3)),(\"service\",(0,1)),"
                               "(\"signal\",(0-5)),(\"roam\",(0,1)),(\"battchg\",(0-5)),(\"callheld\",(0-2))\r\n";
// call, callsetup, callheld, service, signal, roam, battchg
const std::vector<int> kServiceFirstMap = {2, 3, 4, 1, 5, 6, 7}, kCallFirstMap = {1, 2, 7, 3, 4, 5, 6},
                       kFallbackMap = {1, 2, -1, -1, -1, -1, -1};

// What the phone answers, byte for byte; to a command not named here it says nothing.
using Script = std::map<std::string, std::string>;

Script phone_script(const std::string& cind_list, const std::string& values, bool cmer_error = false)
{
    return {{"AT+BRSF=0", "\r\n+BRSF: 871\r\n" + kOk}, {"AT+BRSF=135", "\r\n+BRSF: 871\r\n" + kOk},
            {"AT+BAC=1,2,3", kOk},
            {"AT+CIND=?", cind_list + kOk}, {"AT+CIND?", "\r\n+CIND: " + values + "\r\n" + kOk},
            {"AT+CMER=3,0,0,1", cmer_error ? kError : kOk}, {"AT+CMER=3,0,0,0", kOk}, {"AT+NREC=0", kOk},
            {"AT+CHLD=?", "\r\n+CHLD: (0,1,2,3)\r\n" + kOk}, {"AT+CLIP=1", kOk}, {"AT+CCWA=1", kOk}};
}

Script with(Script s, const std::string& command, const std::string& reply)
{
    s[command] = reply;
    return s;
}

std::vector<int> positions(const IndicatorMap& m)
{
    return {m.call, m.callsetup, m.callheld, m.service, m.signal, m.roam, m.battchg};
}

std::vector<std::string> first(const std::vector<std::string>& v, size_t n) { return {v.begin(), v.begin() + long(n)}; }

struct Trace {
    const char* name;
    bool listener;
    Script script;
    bool ok;
    std::vector<std::string> sent;
    std::vector<int> learned;           // indicator positions afterwards
    const char* warning = nullptr;      // the one line logged when it fails
    std::vector<int> values = {};       // what the listener read from AT+CIND?
    size_t chunk = 0;                   // reply pieces (1: byte by byte), each reply after the fixed wait
    int bound_ms = 3000;                // hfp_reply_timeout_ms
    bool known_before = false;          // the service-first list was read on an earlier connection
    std::vector<std::string> unsolicited = {};
    bool shut_down = false;             // the socket shut down after the first command
};

TEST_F(ShimTest, HandshakesFollowThePhoneTrace)
{
    const std::vector<std::string> outgoing = {"AT+BRSF=0", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+NREC=0"};
    // The phone claims codec negotiation (bit 9 of 871): our codecs follow the features.
    const std::vector<std::string> listener = {"AT+BRSF=135", "AT+BAC=1,2,3", "AT+CIND=?", "AT+CIND?",
                                               "AT+CMER=3,0,0,1", "AT+CHLD=?", "AT+CLIP=1", "AT+CCWA=1"};
    const Script sf = phone_script(kServiceFirst, "1,0,0,0,4,0,3");
    const Script cf_cmer_error = phone_script(kCallFirst, "0,0,1,4,0,3,0", true);
    const Script unreadable = with(sf, "AT+CIND=?", "\r\n+CIND: whatever\r\n" + kOk);
    const Trace traces[] = {
        {"outgoing, service first", false, sf, true, outgoing, kServiceFirstMap},
        {"outgoing, call first, AT+CMER=3,0,0,1 refused", false, cf_cmer_error, true,
         {"AT+BRSF=0", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CMER=3,0,0,0", "AT+NREC=0"}, kCallFirstMap},
        {"outgoing, AT+BRSF refused", false, with(sf, "AT+BRSF=0", kError), false, first(outgoing, 1), kFallbackMap,
         "⚠️ AT+BRSF error"},
        {"outgoing, AT+CIND=? refused", false, with(sf, "AT+CIND=?", "\r\n+CME ERROR: 4\r\n"), false,
         first(outgoing, 2), kFallbackMap, "⚠️ AT+CIND=? error"},
        {"outgoing, AT+CIND? refused", false, with(sf, "AT+CIND?", kError), false, first(outgoing, 3),
         kServiceFirstMap, "⚠️ AT+CIND? error"},
        {"outgoing, OK among junk and unsolicited lines", false,
         with(sf, "AT+BRSF=0", "\r\n\x01\xff junk\r\n\r\nRING\r\n\r\n+BRSF: 871\r\n" + kOk), true, outgoing,
         kServiceFirstMap, nullptr, {}, 0, 3000, false, {"RING"}},
        {"outgoing, unreadable list never read before: call 1, callsetup 2", false, unreadable, true, outgoing,
         kFallbackMap},
        // The fallback would take this phone's "service" for "call".
        {"outgoing, unreadable list keeps the one read before", false, unreadable, true, outgoing, kServiceFirstMap,
         nullptr, {}, 0, 3000, true},
        {"listener, service first", true, sf, true, listener, kServiceFirstMap, nullptr, {1, 0, 0, 0, 4, 0, 3}},
        {"listener, call first byte by byte after the fixed wait, CMER refused", true, cf_cmer_error, true, listener,
         kCallFirstMap, nullptr, {0, 0, 1, 4, 0, 3, 0}, 1},
        // No hold commands without the phone's word on three-way calling.
        {"listener, silent phone: still returns", true, {}, true,
         {"AT+BRSF=135", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CLIP=1"}, kFallbackMap, nullptr, {}, 0, 200},
        {"listener, the phone drops the link: no further commands", true, with(sf, "AT+CIND?", kDrop), false,
         first(listener, 4), kServiceFirstMap},
        // Connection cleanup shuts the socket down and joins the listener: it
        // must give up then, not wait out every command's bound.
        {"listener, silent phone, its socket shut down", true, {}, false, first(listener, 1), kFallbackMap, nullptr,
         {}, 0, 30000, false, {}, true},
    };
    phone->serve_hfp(4);
    hfp_lookup_channel();
    phone->set_silent(true);
    int n = 0;
    for (const Trace& t : traces) {
        SCOPED_TRACE(t.name);
        hfp_set_indicator_map(t.known_before ? IndicatorMap{2, 3, 4, 1, 5, 6, 7, {"service", "call", "callsetup"}}
                                             : IndicatorMap{});
        hfp_reply_timeout_ms = t.bound_ms;
        phone->set_reply_chunking(t.chunk, 2);
        phone->set_reply_delay_ms(t.chunk ? 250 : 0);
        for (const auto& [command, reply] : t.script)
            if (reply == kDrop)
                phone->set_drop_on(command, 1);
        phone->set_command_hook([&](int, const std::string& command, std::string* reply) {
            auto it = t.script.find(command);
            return it != t.script.end() && (*reply = it->second, true);
        });
        int fd = hfp_rfcomm_open(nullptr);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_TRUE(phone->wait_for_connections(++n, 3000));
        const int conn = phone->latest_connection();
        auto channel = std::make_unique<AtChannel>(fd);   // holds a copy of the descriptor
        PhoneStatus status;
        std::thread closer([&] {
            if (t.shut_down && th::wait_until([&] { return !phone->command_texts(conn).empty(); }, 3000))
                shutdown(fd, SHUT_RDWR);
        });
        th::StdoutCapture log;
        const bool ok = t.listener ? hfp_listener_handshake(*channel, &status) : hfp_outgoing_handshake(*channel);
        closer.join();
        const std::string out = log.text();
        EXPECT_EQ(ok, t.ok) << out;
        const std::string line = t.warning ? t.warning : t.ok && !t.listener ? "✓ HFP SLC established" : "";
        EXPECT_NE(out.find(line), std::string::npos) << out;
        EXPECT_EQ(out.find("⚠️"), t.warning ? out.find(t.warning) : std::string::npos) << out;
        th::wait_until([&] { return phone->command_texts(conn).size() >= t.sent.size(); }, 3000);
        EXPECT_EQ(phone->command_texts(conn), t.sent);
        EXPECT_EQ(positions(hfp_indicator_map()), t.learned);
        if (t.listener && t.ok) {
            EXPECT_EQ(status.values, t.values);
            EXPECT_EQ(status.ag_features, t.values.empty() ? -1 : 871);
        }
        // Every reply was taken by its own command.
        EXPECT_EQ(channel->take_unsolicited(), t.unsolicited);
        channel.reset();
        close(fd);
        ASSERT_TRUE(phone->wait_for_close(conn, 3000));
    }
    phone->set_command_hook(nullptr);
}

// The caller logs a socket error apart from a failed connect, and reads
// the connect's errno (EBUSY: the listener holds the link).
TEST_F(ShimTest, OpenTellsASocketErrorFromAFailedConnect)
{
    bool socket_failed = true;
    errno = 0;
    EXPECT_EQ(hfp_rfcomm_open(&socket_failed), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_FALSE(socket_failed);
    th::write_file(dir.file("fault-socket-rfcomm"), "EMFILE");
    EXPECT_EQ(hfp_rfcomm_open(&socket_failed), -1);
    EXPECT_TRUE(socket_failed);
}

std::atomic<int> monitor_finished{0};

// Stands in for the call monitor with the contract hfp_close relies on: it
// waits on hfp_socket in 500 ms rounds until the flag is cleared or the
// socket is closed.
gpointer monitor_stand_in(gpointer)
{
    for (int fd; hfp_monitor_running.load() && (fd = hfp_socket.load()) >= 0;) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 500);
    }
    g_usleep(300 * 1000);   // slow to end: only a close that joins it sees it finished
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
