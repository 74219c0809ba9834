#include "app/app.h"
#include "app/tel_uri.h"
#include "connection/phone_device.h"
#include "connection/sound_module.h"

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

struct ModuleCase {
    const char* name;
    std::string list;
    int index;
};

class SoundModule : public testing::TestWithParam<ModuleCase> {};

const std::string kPhonePath = "/org/bluez/hci0/dev_A4_50_46_12_34_56";

TEST_P(SoundModule, OnlyThePhonesOwnModuleIsFound)
{
    EXPECT_EQ(bluez_module_index(GetParam().list, kPhonePath), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SoundModule,
    testing::Values(
        ModuleCase{"phone_beside_headphones",
                   "7\tmodule-bluez5-device\tpath=/org/bluez/hci0/dev_00_1B_66_AA_BB_CC autodetect_mtu=0\t\n"
                   "25\tmodule-bluez5-device\tpath=" + kPhonePath + " autodetect_mtu=0\t\n",
                   25},
        ModuleCase{"only_headphones", "7\tmodule-bluez5-device\tpath=/org/bluez/hci0/dev_00_1B_66_AA_BB_CC\t\n", -1},
        ModuleCase{"longer_path_is_another_device",
                   "8\tmodule-bluez5-device\tpath=" + kPhonePath + "0 autodetect_mtu=0\t\n", -1},
        ModuleCase{"other_module_with_the_path", "3\tmodule-null-sink\tpath=" + kPhonePath + "\t\n", -1},
        ModuleCase{"no_trailing_newline", "12\tmodule-bluez5-device\tpath=" + kPhonePath, 12},
        ModuleCase{"garbage_index", "x1\tmodule-bluez5-device\tpath=" + kPhonePath + "\n", -1},
        ModuleCase{"empty_output", "", -1}),
    [](const testing::TestParamInfo<ModuleCase>& info) { return std::string(info.param.name); });

struct DeviceCase {
    const char* name;
    const char* props;   // GVariant text of a{sv}
    bool phone;
};

class PhoneDevice : public testing::TestWithParam<DeviceCase> {};

TEST_P(PhoneDevice, OnlyAnAudioGatewayOrAPhoneClassCounts)
{
    GVariant* props = g_variant_ref_sink(g_variant_new_parsed(GetParam().props));
    EXPECT_EQ(properties_say_phone(props), GetParam().phone);
    g_variant_unref(props);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PhoneDevice,
    testing::Values(
        DeviceCase{"gateway_uuid", "{'UUIDs': <['0000110a-0000-1000-8000-00805f9b34fb', "
                                   "'0000111f-0000-1000-8000-00805f9b34fb']>, 'Class': <uint32 0>}", true},
        DeviceCase{"gateway_uuid_upper_case", "{'UUIDs': <['0000111F-0000-1000-8000-00805F9B34FB']>}", true},
        DeviceCase{"phone_class_without_uuids", "{'UUIDs': <@as []>, 'Class': <uint32 0x5a020c>}", true},
        DeviceCase{"phone_class_before_services_known", "{'Class': <uint32 0x200>}", true},
        DeviceCase{"keyboard", "{'UUIDs': <['00001124-0000-1000-8000-00805f9b34fb']>, 'Class': <uint32 0x2540>}",
                   false},
        DeviceCase{"phone_class_but_no_gateway", "{'UUIDs': <['0000110b-0000-1000-8000-00805f9b34fb']>, "
                                                 "'Class': <uint32 0x5a020c>}", false},
        DeviceCase{"headphones_class", "{'UUIDs': <@as []>, 'Class': <uint32 0x240404>}", false},
        DeviceCase{"nothing_known", "{'Name': <'x'>}", false},
        DeviceCase{"class_of_wrong_type", "{'Class': <'phone'>}", false}),
    [](const testing::TestParamInfo<DeviceCase>& info) { return std::string(info.param.name); });

TEST(PhoneDevice, OnlyDevicesBelowTheAdapter)
{
    EXPECT_TRUE(on_adapter("/org/bluez/hci0/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci1/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci01/dev_A4", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci0", "/org/bluez/hci0"));
    EXPECT_FALSE(on_adapter("/org/bluez/hci0/", "/org/bluez/hci0"));
}

}  // namespace
