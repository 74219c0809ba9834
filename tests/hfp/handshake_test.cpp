// Both service-level handshakes over a real RFCOMM connect (through the shim)
// against the simulated phone, with the phone behaviours seen in the field.
#include "hfp/at.h"
#include "shim_fixture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

struct PhoneCase {
    const char* name;
    const std::vector<std::string>* order;
    bool cmer_error;    // "ERROR" to AT+CMER=3,0,0,1
    size_t chunk;       // reply pieces (0 = whole, 1 = byte by byte)
    int delay_ms;       // reply delay
};

void PrintTo(const PhoneCase& c, std::ostream* os) { *os << c.name; }

IndicatorMap expected_map(const std::vector<std::string>& order)
{
    IndicatorMap m{-1, -1, -1, -1, -1, -1, -1, {}};
    for (size_t i = 0; i < order.size(); i++) {
        int idx = static_cast<int>(i) + 1;
        const std::string& n = order[i];
        (n == "call" ? m.call : n == "callsetup" ? m.callsetup : n == "callheld" ? m.callheld
         : n == "service" ? m.service : n == "signal" ? m.signal : n == "roam" ? m.roam : m.battchg) = idx;
    }
    return m;
}

void expect_map(const IndicatorMap& got, const IndicatorMap& want)
{
    EXPECT_EQ(got.call, want.call);
    EXPECT_EQ(got.callsetup, want.callsetup);
    EXPECT_EQ(got.callheld, want.callheld);
    EXPECT_EQ(got.service, want.service);
    EXPECT_EQ(got.signal, want.signal);
    EXPECT_EQ(got.roam, want.roam);
    EXPECT_EQ(got.battchg, want.battchg);
}

class Handshake : public ShimTest, public testing::WithParamInterface<PhoneCase> {
protected:
    void SetUp() override
    {
        ShimTest::SetUp();
        const PhoneCase& c = GetParam();
        hfp_set_indicator_map(IndicatorMap{});
        phone->serve_hfp(4);
        phone->set_indicator_order(*c.order);
        phone->set_cmer_1_error(c.cmer_error);
        phone->set_reply_chunking(c.chunk, 2);
        phone->set_reply_delay_ms(c.delay_ms);
        hfp_lookup_channel();
        ASSERT_EQ(hfp_effective_channel(), 4);
    }
};

TEST_P(Handshake, OutgoingEstablishesTheServiceLevelConnection)
{
    const PhoneCase& c = GetParam();
    bool socket_failed = true;
    int fd = hfp_rfcomm_open(&socket_failed);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_FALSE(socket_failed);
    AtChannel channel(fd);
    bool ok = false;
    std::string out = logged([&] { ok = hfp_outgoing_handshake(channel); });
    EXPECT_TRUE(ok) << out;
    EXPECT_NE(out.find("✓ HFP SLC established"), std::string::npos) << out;
    EXPECT_EQ(out.find("⚠️"), std::string::npos) << out;

    std::vector<std::string> want = {"AT+BRSF=0", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1"};
    if (c.cmer_error)
        want.push_back("AT+CMER=3,0,0,0");
    want.push_back("AT+NREC=0");
    ASSERT_TRUE(phone->wait_for_command("AT+NREC=0", 3000));
    EXPECT_EQ(phone->command_texts(), want);
    expect_map(hfp_indicator_map(), expected_map(*c.order));
    EXPECT_EQ(phone->channel_of(phone->latest_connection()), 4);
    close(fd);
}

TEST_P(Handshake, ListenerSendsItsCommandsAndLearnsTheIndicators)
{
    const PhoneCase& c = GetParam();
    phone->set_indicator("battchg", 2);
    phone->set_indicator("signal", 4);
    phone->set_indicator("roam", 1);
    int fd = hfp_rfcomm_open(nullptr);
    ASSERT_GE(fd, 0) << strerror(errno);
    AtChannel channel(fd);
    phone->set_indicator("call", 1);
    PhoneStatus status;
    std::string out = logged([&] { hfp_listener_handshake(channel, &status); });
    EXPECT_EQ(out, "");
    ASSERT_TRUE(phone->wait_for_command("AT+CCWA=1", 3000));
    // Three-way calling and caller numbers offered; the phone offers three-way calling too.
    EXPECT_EQ(phone->command_texts(), (std::vector<std::string>{"AT+BRSF=7", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1",
                                                                "AT+CHLD=?", "AT+CLIP=1", "AT+CCWA=1"}));
    expect_map(hfp_indicator_map(), expected_map(*c.order));
    EXPECT_EQ(status.ag_features, 871);
    ASSERT_EQ(status.values.size(), c.order->size());
    for (size_t i = 0; i < c.order->size(); ++i)
        EXPECT_EQ(status.values[i], phone->indicator((*c.order)[i])) << (*c.order)[i];
    EXPECT_EQ(phone->listener_connection(), phone->latest_connection());
    // Every reply was consumed by its own command: nothing is left over as unsolicited.
    EXPECT_TRUE(channel.take_unsolicited().empty());
    (void)c;
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Phones, Handshake,
    testing::Values(PhoneCase{"service_first", &sim::kOrderServiceFirst, false, 0, 0},
                    PhoneCase{"call_first", &sim::kOrderCallFirst, false, 0, 0},
                    PhoneCase{"service_first_cmer_error", &sim::kOrderServiceFirst, true, 0, 0},
                    PhoneCase{"call_first_cmer_error", &sim::kOrderCallFirst, true, 0, 0},
                    PhoneCase{"byte_by_byte", &sim::kOrderServiceFirst, false, 1, 0},
                    PhoneCase{"call_first_split_in_threes_cmer_error", &sim::kOrderCallFirst, true, 3, 0},
                    PhoneCase{"replies_after_the_fixed_wait", &sim::kOrderCallFirst, false, 0, 250}),
    [](const testing::TestParamInfo<PhoneCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Connects to the phone's channel 4 and returns the product-side descriptor.
int open_link(sim::SimPhone& phone)
{
    phone.serve_hfp(4);
    hfp_lookup_channel();
    return hfp_rfcomm_open(nullptr);
}

TEST_F(ShimTest, SilentPhoneFailsTheOutgoingHandshakeWithinTheBound)
{
    hfp_reply_timeout_ms = 300;
    phone->set_silent(true);
    int fd = open_link(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    bool ok = true;
    std::string out = logged([&] { ok = hfp_outgoing_handshake(channel); });
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("⚠️ AT+BRSF error"), std::string::npos) << out;
    EXPECT_EQ(phone->command_texts(), std::vector<std::string>{"AT+BRSF=0"});
    close(fd);
}

TEST_F(ShimTest, SilentPhoneStillLetsTheListenerHandshakeReturn)
{
    hfp_reply_timeout_ms = 200;
    phone->set_silent(true);
    int fd = open_link(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    hfp_listener_handshake(channel);
    ASSERT_TRUE(phone->wait_for_command("AT+CLIP=1", 3000));
    EXPECT_EQ(phone->command_texts().size(), 5u) << "no hold commands without the phone's word on three-way calling";
    close(fd);
}

TEST_F(ShimTest, OutgoingHandshakeFailuresNameTheirStep)
{
    struct Row {
        const char* failing;
        const char* reply;
        const char* message;
        size_t commands;
    };
    const Row rows[] = {
        {"AT+BRSF=0", "\r\nERROR\r\n", "⚠️ AT+BRSF error", 1},
        {"AT+CIND=?", "\r\n+CME ERROR: 4\r\n", "⚠️ AT+CIND=? error", 2},
        {"AT+CIND?", "\r\nERROR\r\n", "⚠️ AT+CIND? error", 3},
        {"AT+CIND?", "\r\n+CIND: 1,0,0\r\n", "⚠️ AT+CIND? error", 3},   // no final code before the bound
    };
    hfp_reply_timeout_ms = 1000;
    int port = 10;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.failing);
        sim::SimPhone p(dir.path(), "00:11:22:33:44:" + std::to_string(port++));
        copy_text(device_addr, p.address());
        hfp_channel = 0;
        p.set_command_hook([&](int, const std::string& cmd, std::string* reply) {
            if (cmd != r.failing)
                return false;
            *reply = r.reply;
            return true;
        });
        int fd = open_link(p);
        ASSERT_GE(fd, 0);
        AtChannel channel(fd);
        bool ok = true;
        std::string out = logged([&] { ok = hfp_outgoing_handshake(channel); });
        EXPECT_FALSE(ok);
        EXPECT_NE(out.find(r.message), std::string::npos) << out;
        EXPECT_EQ(out.find("SLC established"), std::string::npos) << out;
        EXPECT_EQ(p.command_texts().size(), r.commands);
        close(fd);
    }
}

TEST_F(ShimTest, PhoneDroppingTheLinkDuringTheHandshakes)
{
    phone->set_drop_on("AT+CIND?");
    int fd = open_link(*phone);
    ASSERT_GE(fd, 0);
    AtChannel outgoing(fd);
    bool ok = true;
    std::string out = logged([&] { ok = hfp_outgoing_handshake(outgoing); });
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("⚠️ AT+CIND? error"), std::string::npos) << out;
    close(fd);

    // The listener stops writing to a dead link (no SIGPIPE, no further commands).
    fd = hfp_rfcomm_open(nullptr);
    ASSERT_GE(fd, 0);
    int conn = 0;
    ASSERT_TRUE(phone->wait_for_connections(2, 3000));
    conn = phone->latest_connection();
    AtChannel listener(fd);
    EXPECT_FALSE(hfp_listener_handshake(listener));
    EXPECT_EQ(phone->command_texts(conn), (std::vector<std::string>{"AT+BRSF=7", "AT+CIND=?", "AT+CIND?"}));
    close(fd);
}

TEST_F(ShimTest, ReplyWithOkAnywhereAndUnsolicitedLinesPasses)
{
    phone->set_command_hook([](int, const std::string& cmd, std::string* reply) {
        if (cmd != "AT+BRSF=0")
            return false;
        *reply = "\r\n\x01\xff junk\r\n\r\nRING\r\n\r\n+BRSF: 871\r\n\r\nOK\r\n";
        return true;
    });
    int fd = open_link(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    bool ok = false;
    std::string out = logged([&] { ok = hfp_outgoing_handshake(channel); });
    EXPECT_TRUE(ok) << out;
    EXPECT_EQ(channel.take_unsolicited(), std::vector<std::string>{"RING"});
    close(fd);
}

TEST_F(ShimTest, UnreadableIndicatorListFallsBackToCallAndCallsetupFirst)
{
    hfp_set_indicator_map(IndicatorMap{2, 3, 4, 1, 5, 6, 7, {}});
    phone->set_command_hook([](int, const std::string& cmd, std::string* reply) {
        if (cmd != "AT+CIND=?")
            return false;
        *reply = "\r\n+CIND: whatever\r\n\r\nOK\r\n";
        return true;
    });
    int fd = open_link(*phone);
    ASSERT_GE(fd, 0);
    {
        AtChannel channel(fd);
        EXPECT_TRUE(hfp_outgoing_handshake(channel));
    }
    IndicatorMap map = hfp_indicator_map();
    EXPECT_EQ(map.call, 1);
    EXPECT_EQ(map.callsetup, 2);
    EXPECT_EQ(map.service, -1);
    close(fd);

    // Once the phone's own list was read, an unreadable answer keeps it: the
    // fallback would take this phone's "service" for "call".
    phone->set_command_hook(nullptr);
    fd = hfp_rfcomm_open(nullptr);
    ASSERT_GE(fd, 0);
    {
        AtChannel good(fd);
        EXPECT_TRUE(hfp_outgoing_handshake(good));
    }
    close(fd);
    phone->set_command_hook([](int, const std::string& cmd, std::string* reply) {
        if (cmd != "AT+CIND=?")
            return false;
        *reply = "\r\n+CIND: whatever\r\n\r\nOK\r\n";
        return true;
    });
    fd = hfp_rfcomm_open(nullptr);
    ASSERT_GE(fd, 0);
    AtChannel again(fd);
    EXPECT_TRUE(hfp_outgoing_handshake(again));
    expect_map(hfp_indicator_map(), expected_map(sim::kOrderServiceFirst));
    close(fd);
    hfp_set_indicator_map(IndicatorMap{});
}

TEST_F(ShimTest, ConnectionsGoToChannelThreeWithoutALookup)
{
    phone->listen_rfcomm(3);
    bool socket_failed = true;
    int fd = hfp_rfcomm_open(&socket_failed);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_FALSE(socket_failed);
    ASSERT_TRUE(phone->wait_for_connections(1, 3000));
    EXPECT_EQ(phone->channel_of(phone->latest_connection()), 3);
    close(fd);

    phone->stop_rfcomm(3);
    errno = 0;
    EXPECT_EQ(hfp_rfcomm_open(&socket_failed), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_FALSE(socket_failed);
    th::write_file(dir.file("fault-socket-rfcomm"), "EMFILE");
    EXPECT_EQ(hfp_rfcomm_open(&socket_failed), -1);
    EXPECT_TRUE(socket_failed);
}

}  // namespace

namespace {

TEST_F(ShimTest, ListenerConnectionReceivesTheIncomingCallInItsIndicatorOrder)
{
    for (const auto* order : {&sim::kOrderServiceFirst, &sim::kOrderCallFirst}) {
        sim::SimPhone p(dir.path(), order == &sim::kOrderCallFirst ? "00:11:22:33:44:77" : "00:11:22:33:44:78");
        copy_text(device_addr, p.address());
        hfp_channel = 0;
        p.set_indicator_order(*order);
        p.set_reply_chunking(4, 1);
        int fd = open_link(p);
        ASSERT_GE(fd, 0);
        AtChannel channel(fd);
        hfp_listener_handshake(channel);
        ASSERT_TRUE(p.incoming_call("+4930123456", "Alice"));

        std::vector<std::string> lines;
        bool io_error = false;
        for (int i = 0; i < 50 && lines.size() < 3 && !io_error; i++)
            for (std::string& l : channel.read_lines(100, &io_error))
                lines.push_back(l);
        IndicatorMap map = hfp_indicator_map();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "+CIEV: " + std::to_string(map.callsetup) + ",1");
        EXPECT_EQ(lines[1], "RING");
        EXPECT_EQ(lines[2], "+CLIP: \"+4930123456\",145,,,\"Alice\"");
        EXPECT_EQ(map.callsetup, p.indicator_index("callsetup"));

        p.remote_answer();
        lines.clear();
        for (int i = 0; i < 50 && lines.size() < 2 && !io_error; i++)
            for (std::string& l : channel.read_lines(100, &io_error))
                lines.push_back(l);
        EXPECT_EQ(lines, (std::vector<std::string>{"+CIEV: " + std::to_string(map.call) + ",1",
                                                   "+CIEV: " + std::to_string(map.callsetup) + ",0"}));
        close(fd);
    }
}

}  // namespace

namespace {

TEST_F(ShimTest, ClosingTheSocketEndsAListenerHandshakeWaitingOnASilentPhone)
{
    // Connection cleanup shuts the listener socket down and joins the thread;
    // the handshake must give up then, not wait out every command's bound.
    hfp_reply_timeout_ms = 30000;
    phone->set_silent(true);
    int fd = open_link(*phone);
    ASSERT_GE(fd, 0);
    AtChannel channel(fd);
    std::thread listener([&] { hfp_listener_handshake(channel); });
    ASSERT_TRUE(phone->wait_for_command("AT+BRSF=7", 3000));
    shutdown(fd, SHUT_RDWR);
    listener.join();
    EXPECT_EQ(phone->command_texts(), std::vector<std::string>{"AT+BRSF=7"});
    close(fd);
}

}  // namespace
