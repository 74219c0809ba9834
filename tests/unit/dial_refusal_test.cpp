// Numbers that could inject AT commands are refused before anything else
// happens; everything else goes on as before. (That a refused number never
// reaches the phone is checked end to end against the simulated phone.)
#include "connection/state.h"
#include "hfp/dial.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string dial_and_capture(const std::string& number)
{
    testing::internal::CaptureStdout();
    dial_number(number.c_str());
    return testing::internal::GetCapturedStdout();
}

TEST(DialRefusal, ControlCharactersSemicolonsAndOverlongNumbersAreRefused)
{
    int saved = current_state.load();
    current_state = PAIRED;   // an accepted number stops at the connection check
    const std::string bad[] = {"0301\r", "0301\rAT+CHUP", "0301\nATA", "0301;", "0301;AT+CHUP",
                               std::string("03\x01") + "01", "0301\x1b", std::string(123, '1')};
    for (const std::string& number : bad) {
        SCOPED_TRACE(number);
        std::string out = dial_and_capture(number);
        EXPECT_NE(out.find("⚠️ Number refused"), std::string::npos) << out;
        EXPECT_EQ(out.find("Phone must be connected"), std::string::npos) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << "the refusal shows control characters escaped";
    }
    for (const std::string& good : {std::string("+49 (30) 123-45"), std::string("*31#0301"), std::string(122, '1')}) {
        SCOPED_TRACE(good);
        std::string out = dial_and_capture(good);
        EXPECT_EQ(out.find("Number refused"), std::string::npos) << out;
        EXPECT_NE(out.find("⚠️ Phone must be connected for call"), std::string::npos) << out;
    }
    EXPECT_NE(dial_and_capture("").find("⚠️ Number empty"), std::string::npos);
    current_state = saved;
}

}  // namespace
