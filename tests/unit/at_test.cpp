// The AT layer: splitter, classifier and indicator-list parser fed the way a
// phone really sends (fragmented, mixed, junk), then the channel over a
// socketpair with a scripted phone.
#include "hfp/at.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

using namespace std::string_literals;

namespace {

using Lines = std::vector<std::string>;

struct SplitCase {
    const char* name;
    std::vector<std::string> reads;
    Lines lines;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

Lines feed_all(AtLineSplitter& s, const std::vector<std::string>& reads)
{
    Lines out;
    for (const std::string& r : reads)
        for (std::string& l : s.feed(r.data(), r.size()))
            out.push_back(std::move(l));
    return out;
}

class Splitter : public testing::TestWithParam<SplitCase> {};

TEST_P(Splitter, SameLinesWhateverTheReadBoundaries)
{
    const SplitCase& c = GetParam();
    std::string whole;
    for (const std::string& r : c.reads)
        whole += r;
    std::vector<std::string> bytes;
    for (char ch : whole)
        bytes.emplace_back(1, ch);

    AtLineSplitter as_read, at_once, byte_by_byte;
    EXPECT_EQ(feed_all(as_read, c.reads), c.lines) << "as read";
    EXPECT_EQ(feed_all(at_once, {whole}), c.lines) << "in one read";
    EXPECT_EQ(feed_all(byte_by_byte, bytes), c.lines) << "byte by byte";
}

const std::string k600(600, 'A');

INSTANTIATE_TEST_SUITE_P(
    Phone, Splitter,
    testing::Values(
        SplitCase{"ok_framed", {"\r\nOK\r\n"}, {"OK"}},
        SplitCase{"reply_split_inside_ok", {"\r\n+BRSF: 871\r\n\r\nO", "K\r\n"}, {"+BRSF: 871", "OK"}},
        SplitCase{"ring_then_clip_split_across_reads", {"\r\nRI", "NG\r\n\r\n+CLIP: \"0301234\",129\r", "\n"},
                  {"RING", "+CLIP: \"0301234\",129"}},
        SplitCase{"unsolicited_between_reply_and_final", {"\r\n+CIND: 1,0\r\n\r\n+CIEV: 2,1\r\n\r\nOK\r\n"},
                  {"+CIND: 1,0", "+CIEV: 2,1", "OK"}},
        SplitCase{"bare_cr_or_lf_end_lines", {"OK\nERROR\rBUSY\r\n"}, {"OK", "ERROR", "BUSY"}},
        SplitCase{"empty_lines_dropped", {"\r\n\r\n\n\r"}, {}},
        SplitCase{"unterminated_tail_waits", {"\r\nOK\r\n\r\nRIN"}, {"OK"}},
        SplitCase{"nul_byte_kept_in_line", {"\r\nO\0K\r\nOK\r\n"s}, {"O\0K"s, "OK"}},
        SplitCase{"binary_junk_is_a_line_of_its_own", {"\xff\xfe\x01\x7f\r\nOK\r\n"}, {"\xff\xfe\x01\x7f", "OK"}},
        SplitCase{"overlong_line_cut_not_merged", {k600 + "\r\nOK\r\n"}, {std::string(511, 'A'), "OK"}},
        SplitCase{"exactly_max_line", {std::string(511, 'B') + "\r\nOK\r\n"}, {std::string(511, 'B'), "OK"}},
        SplitCase{"two_overlong_lines", {k600 + "\n" + k600 + "\n"},
                  {std::string(511, 'A'), std::string(511, 'A')}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(Splitter, ResetForgetsAPartialLine)
{
    AtLineSplitter s;
    EXPECT_TRUE(s.feed("\r\nRIN", 5).empty());
    EXPECT_TRUE(s.has_partial());
    s.reset();
    EXPECT_FALSE(s.has_partial());
    EXPECT_EQ(s.feed("OK\r\n", 4), Lines{"OK"});
}

TEST(Classifier, FinalResultCodes)
{
    struct Row {
        std::string line;
        AtFinal final;
        bool unsolicited;
    };
    const Row rows[] = {
        {"OK", AtFinal::OK, false},
        {" OK\t", AtFinal::OK, false},
        {"ERROR", AtFinal::ERROR, false},
        {"+CME ERROR: 30", AtFinal::CME_ERROR, false},
        {"+CMS ERROR: 500", AtFinal::ERROR, false},
        {"NO CARRIER", AtFinal::NO_CARRIER, false},
        {"BUSY", AtFinal::BUSY, false},
        {"NO ANSWER", AtFinal::NO_ANSWER, false},
        {"RING", AtFinal::NONE, true},
        {"+CLIP: \"123\",129", AtFinal::NONE, true},
        {"+CIEV: 2,1", AtFinal::NONE, true},
        {"+CCWA: \"123\",129", AtFinal::NONE, true},
        {"+CIND: 1,0,0", AtFinal::NONE, false},
        {"+BRSF: 871", AtFinal::NONE, false},
        {"CONNECT", AtFinal::NONE, false},
        {"OKAY", AtFinal::NONE, false},
        {"BOOK", AtFinal::NONE, false},
        {"", AtFinal::NONE, false},
        {"\0OK"s, AtFinal::NONE, false},
        {"\xff\xfe", AtFinal::NONE, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(classify_final(r.line), r.final) << "[" << r.line << "]";
        EXPECT_EQ(is_unsolicited(r.line), r.unsolicited) << "[" << r.line << "]";
    }
}

struct CindCase {
    const char* name;
    std::string line;
    bool ok;
    IndicatorMap map;
};

void PrintTo(const CindCase& c, std::ostream* os) { *os << c.name; }

class CindTest : public testing::TestWithParam<CindCase> {};

TEST_P(CindTest, IndicatorPositionsComeFromThePhonesList)
{
    const CindCase& c = GetParam();
    IndicatorMap got{99, 99, 99, 99, 99, 99, 99, {}};
    ASSERT_EQ(parse_cind_test(c.line, &got), c.ok);
    if (!c.ok) {
        EXPECT_EQ(got.call, 99) << "left untouched on failure";
        return;
    }
    EXPECT_EQ(got.call, c.map.call);
    EXPECT_EQ(got.callsetup, c.map.callsetup);
    EXPECT_EQ(got.callheld, c.map.callheld);
    EXPECT_EQ(got.service, c.map.service);
    EXPECT_EQ(got.signal, c.map.signal);
    EXPECT_EQ(got.roam, c.map.roam);
    EXPECT_EQ(got.battchg, c.map.battchg);
}

const IndicatorMap kFail{};

INSTANTIATE_TEST_SUITE_P(
    Phones, CindTest,
    testing::Values(
        CindCase{"service_first",
                 "+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),(\"callheld\",(0-2)),"
                 "(\"signal\",(0-5)),(\"roam\",(0,1)),(\"battchg\",(0-5))",
                 true, {2, 3, 4, 1, 5, 6, 7, {}}},
        CindCase{"call_first",
                 "+CIND: (\"call\",(0,1)),(\"callsetup\",(0-3)),(\"service\",(0,1)),(\"signal\",(0-5)),"
                 "(\"roam\",(0,1)),(\"battchg\",(0-5)),(\"callheld\",(0-2))",
                 true, {1, 2, 7, 3, 4, 5, 6, {}}},
        CindCase{"spaces_and_upper_case", "+CIND:  ( \"CALL\" , (0,1) ) , (\"CallSetup\",(0,1,2,3))", true,
                 {1, 2, -1, -1, -1, -1, -1, {}}},
        CindCase{"old_underscore_names", "+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"call_setup\",(0-3)),"
                 "(\"call_held\",(0-2))", true, {2, 3, 4, 1, -1, -1, -1, {}}},
        CindCase{"unknown_indicators_count_positions", "+CIND: (\"xyz\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3))",
                 true, {2, 3, -1, -1, -1, -1, -1, {}}},
        CindCase{"values_line_is_not_a_list", "+CIND: 1,0,0,0,4,0,3", false, kFail},
        CindCase{"no_prefix", "(\"call\",(0,1)),(\"callsetup\",(0-3))", false, kFail},
        CindCase{"without_callsetup", "+CIND: (\"call\",(0,1)),(\"service\",(0,1))", false, kFail},
        CindCase{"unterminated_quote", "+CIND: (\"call\",(0,1)),(\"callset", false, kFail},
        CindCase{"stray_closing_parens", "+CIND: ))(\"call\",(0,1)))),(\"callsetup\",(0-3))", true,
                 {1, 2, -1, -1, -1, -1, -1, {}}},
        CindCase{"empty", "", false, kFail}),
    [](const testing::TestParamInfo<CindCase>& info) { return std::string(info.param.name); });

// ---- the channel, against a scripted peer on a socketpair -------------------------

struct Peer {
    int fds[2];
    Peer() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~Peer()
    {
        if (fds[0] >= 0)
            close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    int ours() const { return fds[0]; }
    void hang_up()
    {
        close(fds[1]);
        fds[1] = -1;
    }
    // Writes each piece separately, with a pause so they arrive as separate reads.
    std::thread script(std::vector<std::string> pieces, int gap_ms = 5)
    {
        return std::thread([this, pieces, gap_ms] {
            char cmd[64];
            ssize_t n = read(fds[1], cmd, sizeof cmd);   // wait for the command
            (void)n;
            for (const std::string& p : pieces) {
                ssize_t w = write(fds[1], p.data(), p.size());
                (void)w;
                std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
            }
        });
    }
};

TEST(AtChannel, ReplySplitByteByByteCompletesAtItsFinalCode)
{
    Peer peer;
    std::vector<std::string> bytes;
    for (char c : "\r\n+CIND: 1,0,0\r\n\r\nOK\r\n"s)
        bytes.emplace_back(1, c);
    std::thread t = peer.script(bytes, 2);
    AtChannel ch(peer.ours());
    AtReply r = ch.exchange("AT+CIND?\r", 10, 3000);
    t.join();
    EXPECT_EQ(r.final, AtFinal::OK);
    EXPECT_EQ(r.lines, (Lines{"+CIND: 1,0,0", "OK"}));
    EXPECT_FALSE(r.io_error);
    EXPECT_GE(r.bytes, 21u);   // the last LF may still be in flight
}

TEST(AtChannel, UnsolicitedLinesAroundAReplyAreNotLost)
{
    Peer peer;
    std::thread t = peer.script({"\r\nRING\r\n\r\n+CLIP: \"0301\",129\r\n", "\r\nOK\r\n\r\n+CIEV: 3,1\r\n"});
    AtChannel ch(peer.ours());
    AtReply r = ch.exchange("ATA\r", 0, 3000);
    t.join();
    EXPECT_EQ(r.final, AtFinal::OK);
    EXPECT_TRUE(r.contains("RING"));
    EXPECT_FALSE(r.contains("+CIEV")) << "came after the final code";
    EXPECT_EQ(r.joined(), "RING | +CLIP: \"0301\",129 | OK");
    EXPECT_EQ(ch.take_unsolicited(), (Lines{"RING", "+CLIP: \"0301\",129", "+CIEV: 3,1"}));
    EXPECT_TRUE(ch.take_unsolicited().empty());
}

TEST(AtChannel, ErrorFinalCodes)
{
    for (auto [text, final] : {std::pair{"\r\nERROR\r\n", AtFinal::ERROR},
                               std::pair{"\r\n+CME ERROR: 3\r\n", AtFinal::CME_ERROR},
                               std::pair{"\r\nNO CARRIER\r\n", AtFinal::NO_CARRIER},
                               std::pair{"\r\nBUSY\r\n", AtFinal::BUSY}}) {
        Peer peer;
        std::thread t = peer.script({text});
        AtChannel ch(peer.ours());
        AtReply r = ch.exchange("ATD123;\r", 0, 3000);
        t.join();
        EXPECT_EQ(r.final, final) << text;
    }
}

TEST(AtChannel, SilentPhoneEndsTheWaitWithoutAFinalCode)
{
    Peer peer;
    std::thread t = peer.script({"\r\n+BRSF: 871\r\n"});
    AtChannel ch(peer.ours());
    AtReply r = ch.exchange("AT+BRSF=0\r", 0, 300);
    t.join();
    EXPECT_EQ(r.final, AtFinal::NONE);
    EXPECT_FALSE(r.io_error);
    EXPECT_EQ(r.lines, Lines{"+BRSF: 871"});
}

TEST(AtChannel, ClosedLinkIsAnErrorAndWritingToItDoesNotKillTheProcess)
{
    Peer peer;
    peer.hang_up();
    AtChannel ch(peer.ours());
    bool io_error = false;
    EXPECT_TRUE(ch.read_lines(1000, &io_error).empty());
    EXPECT_TRUE(io_error);
    // Without MSG_NOSIGNAL this write raises SIGPIPE.
    AtReply r = ch.exchange("AT+CHUP\r", 0, 300);
    EXPECT_TRUE(r.write_failed);
    EXPECT_FALSE(ch.send("AT\r"));
}

TEST(AtChannel, ReadLinesJoinsALineSplitAcrossReads)
{
    Peer peer;
    AtChannel ch(peer.ours());
    bool io_error = true;
    ASSERT_EQ(write(peer.fds[1], "\r\nRI", 4), 4);
    EXPECT_TRUE(ch.read_lines(1000, &io_error).empty());
    EXPECT_FALSE(io_error);
    ASSERT_EQ(write(peer.fds[1], "NG\r\n", 4), 4);
    EXPECT_EQ(ch.read_lines(1000, &io_error), Lines{"RING"});
    EXPECT_TRUE(ch.read_lines(50, &io_error).empty()) << "timeout, nothing more";
    EXPECT_FALSE(io_error);
}

// The link's owner shuts it down and closes it while another thread still
// holds the channel; the descriptor number then goes to a new link. The
// channel must see its own link closed, never read or write the new one.
TEST(AtChannel, LinkClosedUnderneathIsNeverConfusedWithTheNextOneOnItsNumber)
{
    Peer old_link;
    AtChannel ch(old_link.ours());
    int number = old_link.ours();
    shutdown(number, SHUT_RDWR);
    close(number);
    old_link.fds[0] = -1;

    Peer next_link;
    ASSERT_EQ(dup2(next_link.ours(), number), number);
    ASSERT_EQ(write(next_link.fds[1], "\r\nRING\r\n", 8), 8);
    bool io_error = false;
    EXPECT_EQ(ch.read_lines(200, &io_error), Lines{});
    EXPECT_TRUE(io_error);
    EXPECT_FALSE(ch.send("AT+CHUP\r"));
    char buf[16];
    EXPECT_EQ(recv(next_link.fds[1], buf, sizeof buf, MSG_DONTWAIT), -1) << "the command went to the new link";
    close(number);
}

// The dial's answer means what it says: another indicator (signal, battery)
// before "ERROR" does not make it a call. Positions of the service-first order.
TEST(DialReply, JudgedByMeaningNotByAnyIndicator)
{
    IndicatorMap map;
    ASSERT_TRUE(parse_cind_test("+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),"
                                "(\"callheld\",(0-2)),(\"signal\",(0-5))", &map));
    EXPECT_EQ(map.names, (Lines{"service", "call", "callsetup", "callheld", "signal"}));
    struct Row {
        Lines lines;
        DialVerdict verdict;
    };
    const Row rows[] = {
        {{"OK"}, DialVerdict::ACCEPTED},
        {{"+CIEV: 5,3", "ERROR"}, DialVerdict::REFUSED},
        {{"+CIEV: 1,0", "+CME ERROR: 30"}, DialVerdict::REFUSED},
        {{"NO CARRIER"}, DialVerdict::REFUSED},
        {{"BUSY"}, DialVerdict::REFUSED},
        {{"+CIEV: 3,2"}, DialVerdict::ACCEPTED},
        {{"+CIEV: 2,1"}, DialVerdict::ACCEPTED},
        {{"+CIEV: 5,4", "+CIEV: 1,1"}, DialVerdict::UNKNOWN},
        {{"CONNECT"}, DialVerdict::UNKNOWN},
        {{}, DialVerdict::UNKNOWN},
    };
    for (const Row& row : rows) {
        AtReply reply;
        reply.lines = row.lines;
        EXPECT_EQ(judge_dial_reply(reply, map), row.verdict) << testing::PrintToString(row.lines);
    }
}

TEST(CindValues, ReadInOrderOrRefused)
{
    struct Row {
        const char* line;
        bool ok;
        std::vector<int> values;
    };
    const Row rows[] = {
        {"+CIND: 1,1,0,0,4,0,3", true, {1, 1, 0, 0, 4, 0, 3}},
        {"+CIND:0, 1 ,2", true, {0, 1, 2}},
        {"+CIND: (\"call\",(0,1))", false, {}},
        {"+CIND: 1,,0", false, {}},
        {"+CIND: 1,x", false, {}},
        {"+CIND: 99999,1", false, {}},
        {"+CIND: ", false, {}},
        {"1,0,0", false, {}},
    };
    for (const Row& row : rows) {
        std::vector<int> got{42};
        EXPECT_EQ(parse_cind_values(row.line, &got), row.ok) << row.line;
        EXPECT_EQ(got, row.ok ? row.values : std::vector<int>{42}) << row.line;
    }
    int features = 0;
    EXPECT_TRUE(parse_brsf("+BRSF: 871", &features));
    EXPECT_EQ(features, 871);
    EXPECT_FALSE(parse_brsf("+BRSF: x", &features));
}

}  // namespace
