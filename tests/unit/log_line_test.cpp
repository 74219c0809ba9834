#include "app/log.h"
#include "text_helpers.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using unit::repeat;

TEST(LogLine, IsStampBlankMessageNewlineCutAt511OnACharacterBoundary)
{
    std::tm t{};
    t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7, t.tm_mday = 1, t.tm_year = 126;
    const std::string stamp = "[09:05:07] ";
    const std::string rows[][2] = {
        {"✓ D-Bus connection established", stamp + "✓ D-Bus connection established\n"},
        {"", stamp + "\n"},
        {std::string(600, 'a'), stamp + std::string(499, 'a') + "\n"},
        {std::string(499, 'b'), stamp + std::string(499, 'b') + "\n"},
        // 11 bytes of stamp + 250 two-byte characters would leave no room for the newline.
        {repeat("é", 300), stamp + repeat("é", 249) + "\n"},
    };
    for (const auto& [message, expected] : rows)
        EXPECT_EQ(format_log_line(t, message.c_str()), expected);
    EXPECT_EQ(format_log_line(t, nullptr), stamp + "\n");
}

// Every line captured from stdout must be one caller's complete line.
TEST(LogMsg, ConcurrentCallersNeverInterleave)
{
    testing::internal::CaptureStdout();
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([t] {
            std::string msg(200, static_cast<char>('A' + t));
            for (int i = 0; i < 200; ++i)
                log_msg(msg.c_str());
        });
    for (auto& w : writers)
        w.join();
    std::string captured = testing::internal::GetCapturedStdout();
    size_t lines = 0;
    for (size_t pos = 0, nl; pos < captured.size(); pos = nl + 1, ++lines) {
        nl = captured.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string line = captured.substr(pos, nl - pos);
        ASSERT_EQ(line.size(), 211u) << line;
        EXPECT_EQ(line.substr(11), std::string(200, line[11]));
    }
    EXPECT_EQ(lines, 1600u);
}

}  // namespace
