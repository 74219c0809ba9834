// The pure pieces of call handling: indicator events, caller lines, the
// numbers we agree to send, the call label and restart backoff.
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/caller_line.h"
#include "hfp/listener.h"
#include "ui/call_display.h"

#include <gtest/gtest.h>
#include <pango/pango.h>

#include <string>

namespace {

struct CievCase {
    const char* text;
    bool ok;
    int indicator, value;
};

TEST(ParseCiev, Table)
{
    const CievCase cases[] = {
        {"+CIEV: 2,1", true, 2, 1},
        {"+CIEV:\t2 , 1", true, 2, 1},
        {"\r\n+CIEV:3,0\r\n", true, 3, 0},
        {"junk before +CIEV: 1,1 and after", true, 1, 1},
        {"+CIEV: -1,+2", true, -1, 2},
        {"+CIEV: 2 1", false, 0, 0},
        {"+CIEV: 2,", false, 0, 0},
        {"+CIEV: ,1", false, 0, 0},
        {"+CIEV 2,1", false, 0, 0},
        {"+CIEV: 99999999999999999999,1", false, 0, 0},
        {"", false, 0, 0},
        {"+CLIP: \"123\",129", false, 0, 0},
    };
    for (const CievCase& c : cases) {
        SCOPED_TRACE(c.text);
        int indicator = -7, value = -7;
        EXPECT_EQ(parse_ciev(c.text, &indicator, &value), c.ok);
        if (c.ok) {
            EXPECT_EQ(indicator, c.indicator);
            EXPECT_EQ(value, c.value);
        } else {
            EXPECT_EQ(indicator, -7);   // untouched on failure
            EXPECT_EQ(value, -7);
        }
    }
    EXPECT_FALSE(parse_ciev(nullptr, nullptr, nullptr));
}

struct ClipCase {
    const char* line;
    bool ok;
    const char* number;
    const char* name;
};

TEST(CallerLine, Table)
{
    const ClipCase cases[] = {
        {"+CLIP: \"+4915112345678\",145", true, "+4915112345678", ""},
        {"+CLIP: \"0301234567\",129,,,\"Anna Schmidt\"", true, "0301234567", "Anna Schmidt"},
        {"+CLIP: \"0301234567\",129,\"\",128,\"Tom, Jerry\",0", true, "0301234567", "Tom, Jerry"},
        {"+CLIP:\"555\",129,,,\"\"", true, "555", ""},
        {"+CLIP: \"\",128", true, "", ""},
        {"+CLIP: 0301234567,129", false, "", ""},
        {"+CLIP: \"0301234567", false, "", ""},
        {"RING", false, "", ""},
        {"+CLIP: \"123\",129,,,\"<b>Tom & Jerry</b>\"", true, "123", "<b>Tom & Jerry</b>"},
        {"+CLIP: \"123\",129,,,\"unterminated", true, "123", ""},
    };
    for (const ClipCase& c : cases) {
        SCOPED_TRACE(c.line);
        CallerLine caller{"before", "before"};
        EXPECT_EQ(parse_clip_line(c.line, &caller), c.ok);
        if (c.ok) {
            EXPECT_EQ(caller.number, c.number);
            EXPECT_EQ(caller.name, c.name);
        } else {
            EXPECT_EQ(caller.number, "before");
        }
    }
}

TEST(NumberIsDialable, RefusesWhatCouldInjectCommands)
{
    EXPECT_TRUE(number_is_dialable("+49 (30) 1234-567"));
    EXPECT_TRUE(number_is_dialable("*31#0301234"));
    EXPECT_TRUE(number_is_dialable("Ünïcödé"));
    for (const char* bad : {"123\r", "123\rAT+CHUP", "12\n3", "123;", "12;AT+CHUP", "1\t2", "1\x7f", "\x1b"})
        EXPECT_FALSE(number_is_dialable(bad)) << bad;
}

struct LabelCase {
    int state;
    const char* name;
    const char* number;
    const char* markup;
};

TEST(CallLabel, TextPerStateWithEscapedCaller)
{
    const LabelCase cases[] = {
        {CALL_IDLE, "Anna", "123", "📞 No call"},
        {CALL_INCOMING, "Anna", "123", "🔔 INCOMING CALL\n\nAnna\n123"},
        {CALL_INCOMING, "", "123", "🔔 INCOMING CALL\n\n123"},
        {CALL_INCOMING, "Anna", "", "🔔 INCOMING CALL"},
        {CALL_OUTGOING, "Anna", "123", "📱 Calling...\n\nAnna\n123"},
        {CALL_OUTGOING, "", "", "📱 Calling...\n\n"},
        {CALL_ACTIVE, "Anna", "", "✅ Call Active\n\nAnna\n"},
        {CALL_ACTIVE, "", "", "✅ Call Active\n\n"},
        {CALL_INCOMING, "<b>Tom & Jerry</b>", "<1>", "🔔 INCOMING CALL\n\n&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;\n&lt;1&gt;"},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(c.markup);
        std::string markup = call_label_markup(c.state, c.name, c.number);
        EXPECT_EQ(markup, c.markup);
        // Whatever the caller's text, the label gets valid markup showing it as typed.
        char* plain = nullptr;
        ASSERT_TRUE(pango_parse_markup(markup.c_str(), -1, 0, nullptr, &plain, nullptr, nullptr));
        if (c.state == CALL_INCOMING && c.number[0]) {
            EXPECT_NE(std::string(plain).find(c.name), std::string::npos);
        }
        g_free(plain);
    }
}

TEST(ListenerRestart, FirstImmediateThenBackingOffToThirtySeconds)
{
    const int expected[] = {0, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(listener_restart_delay_ms(i), expected[i]) << i;
    EXPECT_EQ(listener_restart_delay_ms(1000), 30000);
}

}  // namespace
