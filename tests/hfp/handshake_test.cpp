// Both service-level handshakes over a real RFCOMM connect (through the shim)
// against phone traces: what the phone answers to each command, byte for
// byte, and what we must send and learn from it.
#include "audio_log_capture.h"
#include "hfp/at.h"
#include "shim_fixture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <thread>

namespace {

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
    return {{"AT+BRSF=0", "\r\n+BRSF: 871\r\n" + kOk}, {"AT+BRSF=7", "\r\n+BRSF: 871\r\n" + kOk},
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
    size_t chunk = 0;                   // reply pieces (1: byte by byte)
    int delay_ms = 0;                   // each reply after this long
    int bound_ms = 3000;                // hfp_reply_timeout_ms
    bool known_before = false;          // the service-first list was read on an earlier connection
    std::vector<std::string> unsolicited = {};
    bool shut_down = false;             // the socket shut down after the first command
};

TEST_F(ShimTest, HandshakesFollowThePhoneTrace)
{
    const std::vector<std::string> outgoing = {"AT+BRSF=0", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+NREC=0"};
    const std::vector<std::string> listener = {"AT+BRSF=7", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1",
                                               "AT+CHLD=?", "AT+CLIP=1", "AT+CCWA=1"};
    const Script sf = phone_script(kServiceFirst, "1,0,0,0,4,0,3"), cf = phone_script(kCallFirst, "1,0,1,2,1,0,0");
    const Script cf_cmer_error = phone_script(kCallFirst, "0,0,1,4,0,3,0", true);
    const Script unreadable = with(sf, "AT+CIND=?", "\r\n+CIND: whatever\r\n" + kOk);
    const Trace traces[] = {
        {"outgoing, service first", false, sf, true, outgoing, kServiceFirstMap},
        {"outgoing, call first, AT+CMER=3,0,0,1 refused", false, cf_cmer_error, true,
         {"AT+BRSF=0", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CMER=3,0,0,0", "AT+NREC=0"}, kCallFirstMap},
        {"outgoing, replies split in threes after the fixed wait", false, cf, true, outgoing, kCallFirstMap, nullptr,
         {}, 3, 250},
        {"outgoing, AT+BRSF refused", false, with(sf, "AT+BRSF=0", kError), false, first(outgoing, 1), kFallbackMap,
         "⚠️ AT+BRSF error"},
        {"outgoing, AT+CIND=? refused", false, with(sf, "AT+CIND=?", "\r\n+CME ERROR: 4\r\n"), false,
         first(outgoing, 2), kFallbackMap, "⚠️ AT+CIND=? error"},
        {"outgoing, AT+CIND? refused", false, with(sf, "AT+CIND?", kError), false, first(outgoing, 3),
         kServiceFirstMap, "⚠️ AT+CIND? error"},
        {"outgoing, OK among junk and unsolicited lines", false,
         with(sf, "AT+BRSF=0", "\r\n\x01\xff junk\r\n\r\nRING\r\n\r\n+BRSF: 871\r\n" + kOk), true, outgoing,
         kServiceFirstMap, nullptr, {}, 0, 0, 3000, false, {"RING"}},
        {"outgoing, unreadable list never read before: call 1, callsetup 2", false, unreadable, true, outgoing,
         kFallbackMap},
        // The fallback would take this phone's "service" for "call".
        {"outgoing, unreadable list keeps the one read before", false, unreadable, true, outgoing, kServiceFirstMap,
         nullptr, {}, 0, 0, 3000, true},
        {"listener, service first", true, sf, true, listener, kServiceFirstMap, nullptr, {1, 0, 0, 0, 4, 0, 3}},
        {"listener, call first byte by byte after the fixed wait, CMER refused", true, cf_cmer_error, true, listener,
         kCallFirstMap, nullptr, {0, 0, 1, 4, 0, 3, 0}, 1, 250},
        // No hold commands without the phone's word on three-way calling.
        {"listener, silent phone: still returns", true, {}, true,
         {"AT+BRSF=7", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CLIP=1"}, kFallbackMap, nullptr, {}, 0, 0, 200},
        {"listener, the phone drops the link: no further commands", true, with(sf, "AT+CIND?", kDrop), false,
         first(listener, 3), kServiceFirstMap},
        // Connection cleanup shuts the socket down and joins the listener: it
        // must give up then, not wait out every command's bound.
        {"listener, silent phone, its socket shut down", true, {}, false, first(listener, 1), kFallbackMap, nullptr,
         {}, 0, 0, 30000, false, {}, true},
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
        phone->set_reply_delay_ms(t.delay_ms);
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

}  // namespace
