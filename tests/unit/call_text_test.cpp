// Call handling short of the phone. Numbers that could inject AT commands are
// refused before anything else happens (that they never reach the phone is
// checked end to end).
#include "core/tel_uri.h"
#include "core/voice_codec.h"
#include "store/connection_state.h"
#include "core/at.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "core/caller_line.h"
#include "hfp/dial.h"
#include "store/hands_free.h"
#include "hfp/listener.h"
#include "ui/call_display.h"
#include "ui/window.h"
#include "ui_gtk.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

TEST(ParseCiev, ReadsIndicatorAndValueOrLeavesThemUntouched)
{
    const struct { const char* text; bool ok; int indicator, value; } rows[] = {
        {"+CIEV:\t2 , 1", true, 2, 1},          {"junk before +CIEV: 1,1 and after", true, 1, 1},
        {"+CIEV: -1,+2", true, -1, 2},          {"+CIEV: 2 1", false, -7, -7},
        {"+CIEV: 2,", false, -7, -7},           {"+CIEV 2,1", false, -7, -7},
        {"+CIEV: 99999999999999999999,1", false, -7, -7},
    };
    for (const auto& r : rows) {
        int indicator = -7, value = -7;
        bool ok = parse_ciev(r.text, &indicator, &value);
        EXPECT_EQ(std::tuple(ok, indicator, value), std::tuple(r.ok, r.indicator, r.value)) << r.text;
    }
    EXPECT_FALSE(parse_ciev(nullptr, nullptr, nullptr));
}

TEST(CallerLine, NumberAndNameOrNothing)
{
    const struct { const char *line; bool ok; const char *number, *name; } rows[] = {
        {"+CLIP: \"0301234567\",129,\"\",128,\"Tom, Jerry\",0", true, "0301234567", "Tom, Jerry"},
        {"+CLIP: \"\",128", true, "", ""},
        {"+CLIP: 0301234567,129", false, "before", "before"},
        {"+CLIP: \"0301234567", false, "before", "before"},
        {"+CLIP: \"123\",129,,,\"unterminated", true, "123", ""},
    };
    for (const auto& r : rows) {
        CallerLine caller{"before", "before"};
        EXPECT_EQ(parse_clip_line(r.line, &caller), r.ok) << r.line;
        EXPECT_EQ(caller.number, r.number) << r.line;
        EXPECT_EQ(caller.name, r.name) << r.line;
    }
}

TEST(CallLabel, TextPerStateWithEscapedCaller)
{
    const struct { int state; const char *name, *number, *markup; } rows[] = {
        {CALL_IDLE, "Anna", "123", "📞 No call"},
        {CALL_INCOMING, "", "123", "🔔 INCOMING CALL\n\n123"},
        {CALL_INCOMING, "Anna", "", "🔔 INCOMING CALL"},
        {CALL_OUTGOING, "Anna", "123", "📱 Calling...\n\nAnna\n123"},
        {CALL_ACTIVE, "Anna", "", "✅ Call Active\n\nAnna\n"},
        {CALL_INCOMING, "<b>Tom & Jerry</b>", "<1>", "🔔 INCOMING CALL\n\n&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;\n&lt;1&gt;"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(call_label_markup(r.state, r.name, r.number), r.markup);
}

// From the dial or the ring to the hang-up the sound has its line, with or
// without sound: the buttons under the label stay where the user aims.
TEST(CallLabel, TheSoundLineHoldsItsPlaceFromDialToHangUp)
{
    const struct { int state; bool sound; VoiceCodec codec; bool on_phone; const char* line; } rows[] = {
        {CALL_IDLE, false, VoiceCodec::CVSD, false, ""},
        {CALL_IDLE, true, VoiceCodec::MSBC, false, ""},
        {CALL_OUTGOING, false, VoiceCodec::CVSD, false, "🎧 No sound yet"},
        {CALL_INCOMING, true, VoiceCodec::MSBC, false, "🎧 HD voice (mSBC)"},
        {CALL_ACTIVE, true, VoiceCodec::LC3_SWB, false, "🎧 Super-wideband (LC3)"},
        {CALL_ACTIVE, true, VoiceCodec::CVSD, false, "🎧 Narrowband (CVSD)"},
        {CALL_ACTIVE, false, VoiceCodec::CVSD, true, "🔈 Sound on the phone"},
        {CALL_OUTGOING, false, VoiceCodec::CVSD, true, "🎧 No sound yet"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(call_sound_line(r.state, r.sound, r.codec, r.on_phone), r.line) << r.state << r.sound;
}

TEST(ListenerRestart, FirstImmediateThenBackingOffToThirtySeconds)
{
    for (auto [losses, ms] : {std::pair{0, 0}, {1, 1000}, {2, 2000}, {5, 16000}, {6, 30000}, {1000, 30000}})
        EXPECT_EQ(listener_restart_delay_ms(losses), ms) << losses;
}

const char* const kNotConnected = "⚠️ Phone must be connected for call";

std::string dial_and_capture(const std::string& number)
{
    testing::internal::CaptureStdout();
    dial_number(number.c_str());
    return testing::internal::GetCapturedStdout();
}

TEST(DialRefusal, ControlCharactersAndOverlongNumbersAreRefused)
{
    current_state = PAIRED;   // an accepted number stops at the connection check
    // Below a blank, DEL and too long; a ';' is refused by the real binary.
    for (const std::string& bad : {std::string("0301\rAT+CHUP"), std::string("1\x7f"), std::string(123, '1')}) {
        std::string out = dial_and_capture(bad);
        EXPECT_NE(out.find("⚠️ Number refused"), std::string::npos) << out;
        EXPECT_EQ(out.find("Phone must be connected"), std::string::npos) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << "the refusal shows control characters escaped";
    }
    for (const std::string& good : {std::string("+49 (30) 123-45"), std::string("Ünïcödé"), std::string(122, '1')})
        EXPECT_NE(dial_and_capture(good).find(kNotConnected), std::string::npos) << good;
    EXPECT_NE(dial_and_capture("").find("⚠️ Number empty"), std::string::npos);
}

// A double click on a row of the window's own lists, and what dialling it logged.
std::string activate(GtkWidget* view, int row)
{
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    testing::internal::CaptureStdout();
    gtk_tree_view_row_activated(GTK_TREE_VIEW(view), path, gtk_tree_view_get_column(GTK_TREE_VIEW(view), 0));
    gtk_tree_path_free(path);
    return testing::internal::GetCapturedStdout();
}

TEST(DialRows, ContactsDialColumnOneRecentsColumnTwo)
{
    uitest::Sandbox sandbox;
    uitest::open_main_window();
    current_state = PAIRED;   // dialling stops at the connection check and says so
    gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, "Empty", 1, "", -1);
    gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, "Bob", 1, "0302;x", -1);
    EXPECT_EQ(activate(contacts_view, 0), "");
    EXPECT_NE(activate(contacts_view, 1).find("⚠️ Number refused"), std::string::npos);
    EXPECT_EQ(activate(contacts_view, 7), "");   // no such row
    gtk_list_store_insert_with_values(recent_store, nullptr, -1, 0, "📥", 1, "Anna", 2, "0301", 3, "today", -1);
    gtk_list_store_insert_with_values(recent_store, nullptr, -1, 0, "📤", 1, "0302", 2, "", 3, "now", -1);
    EXPECT_NE(activate(recent_view, 0).find(kNotConnected), std::string::npos);
    EXPECT_EQ(activate(recent_view, 1), "");   // only column 2 counts
}

TEST(TelArgument, DialsOnlyTheNumberBeforeItsParameters)
{
    // number "" when refused
    const struct { std::string arg; bool recognised; std::string number, extension = "", subaddress = ""; } rows[] = {
        {"tel:+49 (151) 123-45", true, "+4915112345"},
        {"tel://0123456", true, "0123456"},
        {"tel:%2B4930123456", true, "+4930123456"},
        {"tel:*31#0800123456", true, "*31#0800123456"},
        {"tel:863-1234;phone-context=+1-914-555", true, "8631234"},
        {"tel:+358-555-1234567;isub=1411", true, "+3585551234567", "", "1411"},
        {"tel:030.123.456", true, "030123456"},
        {"tel:" + std::string(63, '7'), true, std::string(63, '7')},
        // Refused: nothing is dialled.
        {"tel:0800-FLOWERS", true, ""},
        {"tel:+49+30123", true, ""},
        {"tel:;ext=12", true, "", "12"},
        {"tel:*#", true, ""},
        {"tel:%2", true, ""},
        {"tel:12\r\nATH;34", true, ""},
        {"tel:" + std::string(64, '7'), true, ""},   // refused, not cut
        // The scheme's case does not matter.
        {"TEL:123", true, "123"},
        {"Tel://+49123", true, "+49123"},
        {"tele:123", false, ""},
        {"0123", false, ""},
    };
    for (const auto& r : rows) {
        TelLink link = parse_tel_link(r.arg.c_str());
        EXPECT_EQ(std::tuple(link.recognised, link.ok, link.number, link.extension, link.subaddress),
                  std::tuple(r.recognised, !r.number.empty(), r.number, r.extension, r.subaddress)) << r.arg;
        EXPECT_EQ(link.problem.empty(), !r.recognised || !r.number.empty()) << r.arg << ": " << link.problem;
    }
    EXPECT_FALSE(parse_tel_link(nullptr).recognised);
}

}  // namespace
