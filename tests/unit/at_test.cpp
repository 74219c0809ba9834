// The AT layer fed the way a phone really sends (fragmented, mixed, junk),
// and the result reader every parser of the phone's lines goes through.
#include "core/at.h"
#include "text_helpers.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
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
    const std::pair<std::string, AtFinal> rows[] = {
        {" OK\t", OK}, {"ERROR", ERROR}, {"+CME ERROR: 30", CME_ERROR}, {"+CMS ERROR: 500", ERROR},
        {"NO CARRIER", NO_CARRIER}, {"BUSY", BUSY}, {"NO ANSWER", NO_ANSWER}, {"RING", NONE},
        {"+CLIP: \"123\",129", NONE}, {"+CIEV: 2,1", NONE}, {"+CIND: 1,0,0", NONE}, {"OKAY", NONE},
        {"BOOK", NONE}, {"\0OK"s, NONE},
    };
    for (const auto& [line, final] : rows)
        EXPECT_EQ(classify_final(line), final) << "[" << line << "]";
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
    // A position the phone's list does not reach reads as unknown.
    const std::vector<int> values{1, 0, 2};
    const std::pair<int, int> positions[] = {{1, 1}, {3, 2}, {0, -1}, {4, -1}, {-1, -1}};
    for (const auto& [index, value] : positions)
        EXPECT_EQ(cind_value(values, index), value) << index;
    int features = 0;
    EXPECT_FALSE(parse_brsf("+BRSF: x", &features));   // read right, on the real handshake
}

// The call list as Android and iPhone write it; refused rows leave the call untouched.
TEST(ResultReader, CallListRowsGainsAndHoldActions)
{
    const ListedCall untouched{99, false, 9, false, "x", "x"};
    const std::pair<std::string, ListedCall> rows[] = {
        {"+CLCC: 1,0,0,0,0,\"+14085550142\",145", {1, false, 0, false, "+14085550142", ""}},
        {"+CLCC: 2,1,5,0,0,\"0301234\",129,\"Bob, Jr\"", {2, true, 5, false, "0301234", "Bob, Jr"}},
        {"+CLCC:1 , 1 ,4,0,1", {1, true, 4, true, "", ""}},   // no number: withheld, or dialled on the phone
        {"+CLCC: 1,0,1,0,0,\"\",128", {1, false, 1, false, "", ""}},
        {"+CLCC: 0,0,0,0,0", untouched}, {"+CLCC: 1,2,0,0,0", untouched}, {"+CLCC: 1,0,6,0,0", untouched},
        {"+CLCC: 1,0,0", untouched}, {"+CLCC: x", untouched},
    };
    for (const auto& [line, expected] : rows) {
        ListedCall got = untouched;
        EXPECT_EQ(parse_clcc(line, &got), !(expected == untouched)) << line;
        EXPECT_EQ(got, expected) << line;
    }
    for (const auto& [line, gain] : {std::pair{"+VGS: 7", 7}, {"+VGS=15", 15}, {"+VGS: 16", -1}, {"+VGS: -1", -1},
                                     {"+VGM: 3", -1}, {"+VGS:", -1}}) {
        int got = -1;
        EXPECT_EQ(parse_gain(line, "+VGS", &got), gain >= 0) << line;
        EXPECT_EQ(got, gain) << line;
    }
    std::vector<std::string> actions;
    EXPECT_TRUE(parse_chld_list("+CHLD: (0,1,1x,2,2x,3,4)", &actions));
    EXPECT_EQ(actions, (std::vector<std::string>{"0", "1", "1x", "2", "2x", "3", "4"}));
    EXPECT_FALSE(parse_chld_list("+CHLD: (0,1", &actions));
    int codec = 0;
    EXPECT_TRUE(parse_bcs("+BCS: 2", &codec));
    EXPECT_EQ(codec, 2);
}

}  // namespace
