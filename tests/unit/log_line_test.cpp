#include "app/log.h"
#include "app/text.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::tm at(int h, int m, int s)
{
    std::tm t{};
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_mday = 1;
    t.tm_year = 126;
    return t;
}

struct LineCase {
    const char* name;
    std::string message;
    std::string expected;
};

class LogLine : public testing::TestWithParam<LineCase> {};

TEST_P(LogLine, IsStampBlankMessageNewlineCutAt511)
{
    const LineCase& c = GetParam();
    std::string line = format_log_line(at(9, 5, 7), c.message.c_str());
    EXPECT_EQ(line, c.expected);
    EXPECT_LE(line.size(), 511u);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_TRUE(g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr));
}

const std::string kStamp = "[09:05:07] ";

INSTANTIATE_TEST_SUITE_P(
    Table, LogLine,
    testing::Values(
        LineCase{"plain", "✓ D-Bus connection established", kStamp + "✓ D-Bus connection established\n"},
        LineCase{"empty_message", "", kStamp + "\n"},
        LineCase{"ascii_600_cut_to_511_keeping_the_newline", std::string(600, 'a'),
                 kStamp + std::string(510 - kStamp.size(), 'a') + "\n"},
        LineCase{"exactly_fits_with_newline", std::string(499, 'b'), kStamp + std::string(499, 'b') + "\n"},
        // 11 bytes of stamp + 250 two-byte characters would be 511, one more
        // than leaves room for the newline: the character goes whole.
        LineCase{"two_byte_characters_cut_on_boundary", [] {
                     std::string s;
                     for (int i = 0; i < 300; ++i) s += "é";
                     return s;
                 }(),
                 [] {
                     std::string s = "[09:05:07] ";
                     for (int i = 0; i < 249; ++i) s += "é";
                     return s + "\n";
                 }()},
        LineCase{"four_byte_emoji_cut_on_boundary", [] {
                     std::string s;
                     for (int i = 0; i < 200; ++i) s += "📞";
                     return s;
                 }(),
                 [] {
                     std::string s = "[09:05:07] ";
                     for (int i = 0; i < 124; ++i) s += "📞";
                     return s + "\n";
                 }()}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(LogLine, NullMessageIsEmpty)
{
    EXPECT_EQ(format_log_line(at(23, 59, 59), nullptr), "[23:59:59] \n");
}

TEST(TextCut, NeverSplitsACharacter)
{
    char small[6];
    copy_text(small, "aéé");   // 1 + 2 + 2 bytes fit in 5
    EXPECT_STREQ(small, "aéé");
    copy_text(small, "aaéé");  // the second é would need bytes 5 and 6
    EXPECT_STREQ(small, "aaé");
    copy_text(small, nullptr);
    EXPECT_STREQ(small, "");
}

// Concurrent callers write whole lines: capture stdout through a pipe and
// check that every line is one caller's complete line.
TEST(LogMsg, ConcurrentCallersNeverInterleave)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(fds[1], 1);
    close(fds[1]);

    std::string captured;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            captured.append(buf, static_cast<size_t>(n));
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([t] {
            std::string msg(200, static_cast<char>('A' + t));
            for (int i = 0; i < 200; ++i)
                log_msg(msg.c_str());
        });
    }
    for (auto& w : writers)
        w.join();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    reader.join();
    close(fds[0]);

    size_t lines = 0, pos = 0;
    while (pos < captured.size()) {
        size_t nl = captured.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = captured.substr(pos, nl - pos);
        ASSERT_EQ(line.size(), 11u + 200u) << line;
        char c = line[11];
        EXPECT_EQ(line.substr(11), std::string(200, c));
        ++lines;
        pos = nl + 1;
    }
    EXPECT_EQ(lines, 8u * 200u);
}

}  // namespace
