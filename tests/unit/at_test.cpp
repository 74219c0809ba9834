// The AT layer fed the way a phone really sends (fragmented, mixed, junk),
// then the channel over a socketpair with a scripted phone.
#include "hfp/at.h"
#include "text_helpers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

using namespace std::string_literals;

namespace {

using Lines = std::vector<std::string>;

Lines feed_all(const std::vector<std::string>& reads)
{
    AtLineSplitter s;
    Lines out;
    for (const std::string& r : reads)
        for (std::string& l : s.feed(r.data(), r.size()))
            out.push_back(std::move(l));
    return out;
}

TEST(Splitter, SameLinesWhateverTheReadBoundaries)
{
    const std::pair<std::vector<std::string>, Lines> rows[] = {
        {{"\r\n+BRSF: 871\r\n\r\nO", "K\r\n"}, {"+BRSF: 871", "OK"}},
        {{"\r\nRI", "NG\r\n\r\n+CLIP: \"0301234\",129\r", "\n"}, {"RING", "+CLIP: \"0301234\",129"}},
        {{"OK\nERROR\rBUSY\r\n"}, {"OK", "ERROR", "BUSY"}},
        {{"\r\n\r\n\n\r"}, {}},
        {{"\r\nOK\r\n\r\nRIN"}, {"OK"}},
        {{"\r\nO\0K\r\nOK\r\n"s}, {"O\0K"s, "OK"}},
        {{unit::cat(std::string(600, 'A'), "\r\nOK\r\n")}, {std::string(511, 'A'), "OK"}},
    };
    for (const auto& [reads, lines] : rows) {
        const std::string whole = std::accumulate(reads.begin(), reads.end(), std::string());
        SCOPED_TRACE(whole.substr(0, 40));
        Lines bytes;
        for (char ch : whole)
            bytes.emplace_back(1, ch);
        EXPECT_EQ(feed_all(reads), lines) << "as read";
        EXPECT_EQ(feed_all({whole}), lines) << "in one read";
        EXPECT_EQ(feed_all(bytes), lines) << "byte by byte";
    }
}

TEST(Classifier, FinalResultCodes)
{
    using enum AtFinal;
    const std::tuple<std::string, AtFinal, bool> rows[] = {   // line, its final code, unsolicited
        {" OK\t", OK, false}, {"ERROR", ERROR, false}, {"+CME ERROR: 30", CME_ERROR, false},
        {"+CMS ERROR: 500", ERROR, false}, {"NO CARRIER", NO_CARRIER, false}, {"BUSY", BUSY, false},
        {"NO ANSWER", NO_ANSWER, false}, {"RING", NONE, true}, {"+CLIP: \"123\",129", NONE, true},
        {"+CIEV: 2,1", NONE, true}, {"+CCWA: \"123\",129", NONE, true}, {"+CIND: 1,0,0", NONE, false},
        {"OKAY", NONE, false}, {"BOOK", NONE, false}, {"\0OK"s, NONE, false},
    };
    for (const auto& [line, final, unsolicited] : rows) {
        EXPECT_EQ(classify_final(line), final) << "[" << line << "]";
        EXPECT_EQ(is_unsolicited(line), unsolicited) << "[" << line << "]";
    }
}

std::vector<int> positions(const IndicatorMap& m)
{
    return {m.call, m.callsetup, m.callheld, m.service, m.signal, m.roam, m.battchg};
}

TEST(CindList, IndicatorPositionsComeFromThePhonesList)
{
    const std::vector<int> untouched(7, 99);
    // The two usual orders are read from phone traces in the handshake tests.
    const std::pair<std::string, std::vector<int>> rows[] = {
        {"+CIND:  ( \"CALL\" , (0,1) ) , (\"CallSetup\",(0,1,2,3))", {1, 2, -1, -1, -1, -1, -1}},
        {"+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"call_setup\",(0-3)),(\"call_held\",(0-2))",
         {2, 3, 4, 1, -1, -1, -1}},
        {"+CIND: (\"xyz\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3))", {2, 3, -1, -1, -1, -1, -1}},
        {"+CIND: ))(\"call\",(0,1)))),(\"callsetup\",(0-3))", {1, 2, -1, -1, -1, -1, -1}},
        // Refused: the map is left untouched.
        {"+CIND: 1,0,0,0,4,0,3", untouched},
        {"(\"call\",(0,1)),(\"callsetup\",(0-3))", untouched},
        {"+CIND: (\"call\",(0,1)),(\"service\",(0,1))", untouched},
        {"+CIND: (\"call\",(0,1)),(\"callset", untouched},
    };
    for (const auto& [line, expected] : rows) {
        IndicatorMap got{99, 99, 99, 99, 99, 99, 99, {}};
        EXPECT_EQ(parse_cind_test(line, &got), expected != untouched) << line;
        EXPECT_EQ(positions(got), expected) << line;
    }
}

struct Peer {
    int fds[2] = {-1, -1};
    Peer() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~Peer()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    void say(const std::string& text) { EXPECT_EQ(write(fds[1], text.data(), text.size()), ssize_t(text.size())); }
};

// Pieces arrive as separate reads after the command; +CIEV after the final
// code is kept for the listener, not the reply.
TEST(AtChannel, ExchangeKeepsUnsolicitedLinesAroundAReplyAndEndsOnSilence)
{
    // Pieces the phone sends, the bound, then what the reply and the reader get.
    const std::tuple<Lines, int, AtFinal, std::string, Lines> rows[] = {
        {{"\r\nRING\r\n\r\n+CLIP: \"0301\",129\r\n", "\r\nOK\r\n\r\n+CIEV: 3,1\r\n"}, 3000, AtFinal::OK,
         "RING | +CLIP: \"0301\",129 | OK", {"RING", "+CLIP: \"0301\",129", "+CIEV: 3,1"}},
        {{"\r\n+BRSF: 871\r\n"}, 300, AtFinal::NONE, "+BRSF: 871", {}},
    };
    for (const auto& [pieces, timeout_ms, final, joined, unsolicited] : rows) {
        SCOPED_TRACE(joined);
        Peer peer;
        std::thread phone([&] {
            char cmd[64];
            if (read(peer.fds[1], cmd, sizeof cmd) > 0)
                for (const std::string& piece : pieces) {
                    peer.say(piece);
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
        });
        AtChannel ch(peer.fds[0]);
        AtReply r = ch.exchange("AT\r", 0, timeout_ms);
        phone.join();
        EXPECT_EQ(r.final, final);
        EXPECT_FALSE(r.io_error);
        EXPECT_EQ(r.joined(), joined);
        EXPECT_EQ(ch.take_unsolicited(), unsolicited);
        EXPECT_TRUE(ch.take_unsolicited().empty());
    }
}

// The link's owner shuts it down and closes it while another thread still
// holds the channel; the descriptor number then goes to a new link. The
// channel must see its own link closed, never read or write the new one, and
// writing to the dead link must not raise SIGPIPE.
TEST(AtChannel, LinkClosedUnderneathIsNeverConfusedWithTheNextOneOnItsNumber)
{
    Peer old_link;
    AtChannel ch(old_link.fds[0]);
    int number = std::exchange(old_link.fds[0], -1);
    shutdown(number, SHUT_RDWR);
    close(number);

    Peer next_link;
    ASSERT_EQ(dup2(next_link.fds[0], number), number);
    next_link.say("\r\nRING\r\n");
    bool io_error = false;
    EXPECT_EQ(ch.read_lines(200, &io_error), Lines{});
    EXPECT_TRUE(io_error);
    EXPECT_TRUE(ch.exchange("AT+CHUP\r", 0, 300).write_failed);
    char buf[16];
    EXPECT_EQ(recv(next_link.fds[1], buf, sizeof buf, MSG_DONTWAIT), -1) << "a command went to the new link";
    close(number);
}

// The dial's answer means what it says: another indicator (signal, battery)
// before "ERROR" does not make it a call. Positions of the service-first order.
TEST(DialReply, JudgedByMeaningNotByAnyIndicator)
{
    IndicatorMap map;
    ASSERT_TRUE(parse_cind_test("+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),"
                                "(\"callheld\",(0-2)),(\"signal\",(0-5))", &map));
    using enum DialVerdict;
    const std::pair<Lines, DialVerdict> rows[] = {
        {{"OK"}, ACCEPTED}, {{"+CIEV: 5,3", "ERROR"}, REFUSED}, {{"+CIEV: 1,0", "+CME ERROR: 30"}, REFUSED},
        {{"NO CARRIER"}, REFUSED}, {{"+CIEV: 3,2"}, ACCEPTED}, {{"+CIEV: 5,4", "+CIEV: 1,1"}, UNKNOWN}, {{}, UNKNOWN},
    };
    for (const auto& [lines, verdict] : rows)
        EXPECT_EQ(judge_dial_reply(AtReply{lines}, map), verdict) << testing::PrintToString(lines);
}

TEST(CindValues, ReadInOrderOrRefused)
{
    // Refused: no values, and the caller's left as they were.
    const std::pair<const char*, std::vector<int>> rows[] = {
        {"+CIND: 1,1,0,0,4,0,3", {1, 1, 0, 0, 4, 0, 3}}, {"+CIND:0, 1 ,2", {0, 1, 2}}, {"+CIND: (\"call\",(0,1))", {}},
        {"+CIND: 1,,0", {}}, {"+CIND: 99999,1", {}}, {"1,0,0", {}},
    };
    for (const auto& [line, values] : rows) {
        std::vector<int> got{42};
        EXPECT_EQ(parse_cind_values(line, &got), !values.empty()) << line;
        EXPECT_EQ(got, values.empty() ? std::vector<int>{42} : values) << line;
    }
    int features = 0;
    EXPECT_FALSE(parse_brsf("+BRSF: x", &features));   // read right, on the real handshake
}

}  // namespace
