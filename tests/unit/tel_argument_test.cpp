#include "app/app.h"
#include "app/tel_uri.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TelCase {
    const char* name;
    std::string arg;
    bool recognised;
    std::string number;   // "" when refused
    std::string extension = "";
    std::string subaddress = "";
};

void PrintTo(const TelCase& c, std::ostream* os) { *os << c.name; }

class TelArgument : public testing::TestWithParam<TelCase> {};

TEST_P(TelArgument, DialsOnlyTheNumberBeforeItsParameters)
{
    const TelCase& c = GetParam();
    TelLink link = parse_tel_link(c.arg.c_str());
    EXPECT_EQ(link.recognised, c.recognised);
    EXPECT_EQ(link.ok, !c.number.empty());
    EXPECT_EQ(link.number, c.number);
    EXPECT_EQ(link.problem.empty(), !c.recognised || !c.number.empty()) << link.problem;
    EXPECT_EQ(link.extension, c.extension);
    EXPECT_EQ(link.subaddress, c.subaddress);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TelArgument,
    testing::Values(
        TelCase{"plus_digits_spaces_brackets_dashes", "tel:+49 (151) 123-45", true, "+4915112345"},
        TelCase{"two_slashes_skipped", "tel://0123456", true, "0123456"},
        TelCase{"extension_is_never_dialled", "tel:1;ext=12", true, "1", "12"},
        TelCase{"global_number_with_extension", "tel:+1-201-555-0123;ext=99", true, "+12015550123", "99"},
        TelCase{"percent_escaped_plus_decoded_first", "tel:%2B4930123456", true, "+4930123456"},
        TelCase{"service_code_kept", "tel:*31#0800123456", true, "*31#0800123456"},
        TelCase{"phone_context_not_appended", "tel:0301234;phone-context=+49", true, "0301234"},
        TelCase{"subaddress_shown_not_dialled", "tel:+358-555-1234567;isub=1411", true, "+3585551234567", "", "1411"},
        TelCase{"dots_are_separators", "tel:030.123.456", true, "030123456"},
        // RFC 3966's own examples.
        TelCase{"rfc_global", "tel:+1-201-555-0123", true, "+12015550123"},
        TelCase{"rfc_local_domain_context", "tel:7042;phone-context=example.com", true, "7042"},
        TelCase{"rfc_local_number_context", "tel:863-1234;phone-context=+1-914-555", true, "8631234"},
        TelCase{"rfc_postdial_parameter_dropped", "tel:+358-555-1234567;postd=pp22", true, "+3585551234567"},
        // Refused: nothing is dialled.
        TelCase{"letters_refused", "tel:abc", true, ""},
        TelCase{"letters_among_digits_refused", "tel:0800-FLOWERS", true, ""},
        TelCase{"second_plus_refused", "tel:+49+30123", true, ""},
        TelCase{"prefix_alone_refused", "tel:", true, ""},
        TelCase{"parameters_only_refused", "tel:;ext=12", true, "", "12"},
        TelCase{"service_symbols_without_digits_refused", "tel:*#", true, ""},
        TelCase{"broken_escape_refused", "tel:%2", true, ""},
        TelCase{"escaped_control_character_refused", "tel:123%0d%0aATH", true, ""},
        TelCase{"control_characters_refused", "tel:12\r\nATH;34", true, ""},
        TelCase{"number_too_long_refused_not_cut", "tel:" + std::string(64, '7'), true, ""},
        TelCase{"longest_number", "tel:" + std::string(63, '7'), true, std::string(63, '7')},
        TelCase{"upper_case_prefix_not_recognised", "TEL:123", false, ""},
        TelCase{"other_scheme_not_recognised", "sip:123@example.org", false, ""},
        TelCase{"bare_number_not_recognised", "0123", false, ""}),
    [](const testing::TestParamInfo<TelCase>& info) { return std::string(info.param.name); });

TEST(TelArgument, NullArgumentIsNotRecognised)
{
    EXPECT_FALSE(parse_tel_link(nullptr).recognised);
}

TEST(PendingDial, TakeEmptiesSoANumberIsDialledOnce)
{
    pending_dial_set("+4930123");
    EXPECT_EQ(pending_dial_peek(), "+4930123");
    EXPECT_EQ(pending_dial_take(), "+4930123");
    EXPECT_EQ(pending_dial_take(), "");
    pending_dial_set("+4930123");
    pending_dial_cancel();
    EXPECT_EQ(pending_dial_take(), "");
}

}  // namespace
