#include "app/app.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TelCase {
    const char* name;
    std::string arg;
    bool recognised;
    std::string stored;
};

void PrintTo(const TelCase& c, std::ostream* os) { *os << c.name; }

class TelArgument : public testing::TestWithParam<TelCase> {};

TEST_P(TelArgument, KeepsOnlyDigitsAndPlus)
{
    const TelCase& c = GetParam();
    char out[256] = "previous";
    EXPECT_EQ(filter_tel_argument(c.arg.c_str(), out, sizeof out), c.recognised);
    EXPECT_EQ(std::string(out), c.recognised ? c.stored : std::string("previous"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TelArgument,
    testing::Values(TelCase{"plus_digits_spaces_brackets_dashes", "tel:+49 (151) 123-45", true, "+4915112345"},
                    TelCase{"two_slashes_skipped", "tel://0123456", true, "0123456"},
                    TelCase{"one_slash_dropped_as_junk", "tel:/0123", true, "0123"},
                    TelCase{"letters_only_give_empty_text", "tel:abc", true, ""},
                    TelCase{"uri_parameters_dropped", "tel:+1-201-555-0123;ext=7", true, "+120155501237"},
                    TelCase{"upper_case_prefix_not_recognised", "TEL:123", false, ""},
                    TelCase{"other_scheme_not_recognised", "sip:123@example.org", false, ""},
                    TelCase{"bare_number_not_recognised", "0123", false, ""},
                    TelCase{"prefix_alone", "tel:", true, ""},
                    TelCase{"three_hundred_digits_keep_255", "tel:" + std::string(300, '7'), true,
                            std::string(255, '7')},
                    TelCase{"control_characters_dropped", "tel:12\r\nATH;34", true, "1234"}),
    [](const testing::TestParamInfo<TelCase>& info) { return std::string(info.param.name); });

TEST(TelArgument, NullArgumentIsNotRecognised)
{
    char out[8] = "x";
    EXPECT_FALSE(filter_tel_argument(nullptr, out, sizeof out));
    EXPECT_STREQ(out, "x");
}

TEST(PendingDial, TakeEmptiesSoANumberIsDialledOnce)
{
    pending_dial_set("+4930123");
    EXPECT_EQ(pending_dial_peek(), "+4930123");
    EXPECT_EQ(pending_dial_take(), "+4930123");
    EXPECT_EQ(pending_dial_take(), "");
}

TEST(PendingDial, HandOverKeepsAtMost63Characters)
{
    pending_dial_set(std::string(255, '5').c_str());
    EXPECT_EQ(pending_dial_take(), std::string(63, '5'));
}

}  // namespace
