// The pure pieces of call handling: indicator events, caller lines, the
// call label and restart backoff.
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/caller_line.h"
#include "hfp/listener.h"
#include "ui/call_display.h"

#include <gtest/gtest.h>
#include <pango/pango.h>

#include <string>

namespace {

TEST(ParseCiev, ReadsIndicatorAndValueOrLeavesThemUntouched)
{
    const struct {
        const char* text;
        bool ok;
        int indicator, value;
    } rows[] = {
        {"+CIEV:\t2 , 1", true, 2, 1},          {"junk before +CIEV: 1,1 and after", true, 1, 1},
        {"+CIEV: -1,+2", true, -1, 2},          {"+CIEV: 2 1", false, -7, -7},
        {"+CIEV: 2,", false, -7, -7},           {"+CIEV 2,1", false, -7, -7},
        {"+CIEV: 99999999999999999999,1", false, -7, -7},
    };
    for (const auto& r : rows) {
        int indicator = -7, value = -7;
        EXPECT_EQ(parse_ciev(r.text, &indicator, &value), r.ok) << r.text;
        EXPECT_EQ(indicator, r.indicator) << r.text;
        EXPECT_EQ(value, r.value) << r.text;
    }
    EXPECT_FALSE(parse_ciev(nullptr, nullptr, nullptr));
}

TEST(CallerLine, NumberAndNameOrNothing)
{
    const struct {
        const char *line;
        bool ok;
        const char *number, *name;
    } rows[] = {
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
    const struct {
        int state;
        const char *name, *number, *markup;
    } rows[] = {
        {CALL_IDLE, "Anna", "123", "📞 No call"},
        {CALL_INCOMING, "", "123", "🔔 INCOMING CALL\n\n123"},
        {CALL_INCOMING, "Anna", "", "🔔 INCOMING CALL"},
        {CALL_OUTGOING, "Anna", "123", "📱 Calling...\n\nAnna\n123"},
        {CALL_ACTIVE, "Anna", "", "✅ Call Active\n\nAnna\n"},
        {CALL_INCOMING, "<b>Tom & Jerry</b>", "<1>", "🔔 INCOMING CALL\n\n&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;\n&lt;1&gt;"},
    };
    for (const auto& r : rows) {
        std::string markup = call_label_markup(r.state, r.name, r.number);
        EXPECT_EQ(markup, r.markup);
        EXPECT_TRUE(pango_parse_markup(markup.c_str(), -1, 0, nullptr, nullptr, nullptr, nullptr)) << markup;
    }
}

TEST(ListenerRestart, FirstImmediateThenBackingOffToThirtySeconds)
{
    const int expected[] = {0, 1000, 2000, 4000, 8000, 16000, 30000, 30000};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(listener_restart_delay_ms(i), expected[i]) << i;
    EXPECT_EQ(listener_restart_delay_ms(1000), 30000);
}

}  // namespace
