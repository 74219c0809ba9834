#include "app/tel_uri.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TelArgument, DialsOnlyTheNumberBeforeItsParameters)
{
    struct Row {
        std::string arg;
        bool recognised;
        std::string number;   // "" when refused
        std::string extension = "";
        std::string subaddress = "";
    };
    const Row rows[] = {
        {"tel:+49 (151) 123-45", true, "+4915112345"},
        {"tel://0123456", true, "0123456"},
        {"tel:+1-201-555-0123;ext=99", true, "+12015550123", "99"},
        {"tel:%2B4930123456", true, "+4930123456"},
        {"tel:*31#0800123456", true, "*31#0800123456"},
        {"tel:863-1234;phone-context=+1-914-555", true, "8631234"},
        {"tel:7042;phone-context=example.com", true, "7042"},
        {"tel:+358-555-1234567;isub=1411", true, "+3585551234567", "", "1411"},
        {"tel:030.123.456", true, "030123456"},
        {"tel:" + std::string(63, '7'), true, std::string(63, '7')},
        // Refused: nothing is dialled.
        {"tel:0800-FLOWERS", true, ""},
        {"tel:+49+30123", true, ""},
        {"tel:;ext=12", true, "", "12"},
        {"tel:*#", true, ""},
        {"tel:%2", true, ""},
        {"tel:123%0d%0aATH", true, ""},
        {"tel:12\r\nATH;34", true, ""},
        {"tel:" + std::string(64, '7'), true, ""},   // refused, not cut
        {"TEL:123", false, ""},
        {"sip:123@example.org", false, ""},
        {"0123", false, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.arg);
        TelLink link = parse_tel_link(r.arg.c_str());
        EXPECT_EQ(link.recognised, r.recognised);
        EXPECT_EQ(link.ok, !r.number.empty());
        EXPECT_EQ(link.number, r.number);
        EXPECT_EQ(link.problem.empty(), !r.recognised || !r.number.empty()) << link.problem;
        EXPECT_EQ(link.extension, r.extension);
        EXPECT_EQ(link.subaddress, r.subaddress);
    }
    EXPECT_FALSE(parse_tel_link(nullptr).recognised);
}

}  // namespace
