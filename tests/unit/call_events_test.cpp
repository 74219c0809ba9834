// Indicator events and listener lines driving the one call state, in process:
// the reader side queues requests, the main loop (drained here) applies them.
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/listener.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class CallEvents : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_main_context_acquire(nullptr));
        hfp_update_call_state_cb(GINT_TO_POINTER(CALL_IDLE));
        drain();
    }
    void TearDown() override
    {
        hfp_update_call_state_cb(GINT_TO_POINTER(CALL_IDLE));
        drain();
        hfp_set_indicator_map(IndicatorMap{});
        g_main_context_release(nullptr);
    }
    static void drain()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
};

// One phone lists call/callsetup first, another puts "service" before them.
struct Order {
    const char* name;
    IndicatorMap map;
};
IndicatorMap map_with(int call, int callsetup)
{
    IndicatorMap m;
    m.call = call;
    m.callsetup = callsetup;
    return m;
}
const Order kOrders[] = {{"call,callsetup,...", map_with(1, 2)}, {"service,call,callsetup,...", map_with(2, 3)}};

struct EventCase {
    const char* name;
    std::vector<std::pair<char, int>> events;   // 'c' call, 's' callsetup; all before the main loop runs
    int expected;
};

TEST_F(CallEvents, IndicatorSequencesEndInTheRightStateForBothOrders)
{
    const EventCase cases[] = {
        {"incoming rings", {{'s', 1}}, CALL_INCOMING},
        {"incoming answered on the phone", {{'s', 1}, {'c', 1}, {'s', 0}}, CALL_ACTIVE},
        {"caller gave up", {{'s', 1}, {'s', 0}}, CALL_IDLE},
        {"outgoing alerting", {{'s', 2}, {'s', 3}}, CALL_OUTGOING},
        {"outgoing answered then ended", {{'s', 2}, {'c', 1}, {'s', 0}, {'c', 0}}, CALL_IDLE},
        {"call 0 while idle is silent", {{'c', 0}}, CALL_IDLE},
        {"unknown values ignored", {{'s', 7}, {'c', 5}}, CALL_IDLE},
    };
    for (const Order& order : kOrders) {
        for (const EventCase& c : cases) {
            SCOPED_TRACE(std::string(order.name) + ": " + c.name);
            hfp_set_indicator_map(order.map);
            for (auto [which, value] : c.events)
                handle_ciev_event(which == 'c' ? order.map.call : order.map.callsetup, value);
            drain();
            EXPECT_EQ(current_call_state.load(), c.expected);
            hfp_update_call_state_cb(GINT_TO_POINTER(CALL_IDLE));
            drain();
        }
    }
}

TEST_F(CallEvents, OtherIndicatorsChangeNothing)
{
    hfp_set_indicator_map(map_with(2, 3));
    handle_ciev_event(1, 1);   // "service" on this phone
    handle_ciev_event(4, 1);
    drain();
    EXPECT_EQ(current_call_state.load(), CALL_IDLE);
}

TEST_F(CallEvents, CallsetupZeroKeepsAnActiveCall)
{
    handle_ciev_event(1, 1);
    drain();
    ASSERT_EQ(current_call_state.load(), CALL_ACTIVE);
    handle_ciev_event(2, 0);
    drain();
    EXPECT_EQ(current_call_state.load(), CALL_ACTIVE);
}

struct LinesCase {
    const char* name;
    std::vector<std::string> lines;
    int expected;
    const char* number;
    const char* name_shown;
};

TEST_F(CallEvents, ListenerLinesHandledInOrder)
{
    const LinesCase cases[] = {
        {"ring, caller, callsetup", {"RING", "+CLIP: \"+4915112345678\",145,,,\"Anna\"", "+CIEV: 2,1"},
         CALL_INCOMING, "+4915112345678", "Anna"},
        {"caller line alone rings", {"+CLIP: \"0301234567\",129"}, CALL_INCOMING, "0301234567", ""},
        {"caller line without number still rings on RING", {"+CLIP: 0301234567,129", "RING"}, CALL_INCOMING, "", ""},
        {"two indicator events in one read both count", {"+CIEV: 2,1", "+CIEV: 1,1"}, CALL_ACTIVE, "", ""},
        {"no carrier ends a ringing call", {"RING", "+CLIP: \"555123\",129"}, CALL_INCOMING, "555123", ""},
        {"garbage is ignored", {"\x01\x02garbage", std::string(600, 'x'), "+CIEV: 2", "+CIEV: x,1"}, CALL_IDLE,
         "", ""},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        listener_handle_lines(c.lines);
        drain();
        EXPECT_EQ(current_call_state.load(), c.expected);
        EXPECT_STREQ(current_call_number, c.number);
        EXPECT_STREQ(current_call_name, c.name_shown);
        hfp_update_call_state_cb(GINT_TO_POINTER(CALL_IDLE));
        drain();
    }
}

TEST_F(CallEvents, EndCodesEndTheCallUnlessAnIndicatorCameWithThem)
{
    for (const char* code : {"NO CARRIER", "BUSY", "NO ANSWER", "ERROR"}) {
        SCOPED_TRACE(code);
        listener_handle_lines({"RING"});
        drain();
        ASSERT_EQ(current_call_state.load(), CALL_INCOMING);
        listener_handle_lines({code});
        drain();
        EXPECT_EQ(current_call_state.load(), CALL_IDLE);
    }
    // The indicator event is what counts when both arrive together.
    listener_handle_lines({"+CIEV: 1,1"});
    drain();
    listener_handle_lines({"+CIEV: 2,0", "NO CARRIER"});
    drain();
    EXPECT_EQ(current_call_state.load(), CALL_ACTIVE);
}

TEST_F(CallEvents, RingThenCallerLineRefreshesTheRingingCall)
{
    listener_handle_lines({"RING"});
    listener_handle_lines({"RING", "+CLIP: \"0301234567\",129,,,\"Anna\""});
    drain();
    EXPECT_EQ(current_call_state.load(), CALL_INCOMING);
    EXPECT_STREQ(current_call_number, "0301234567");
    EXPECT_STREQ(current_call_name, "Anna");
    EXPECT_NE(ringtone_timer_id, 0u);
    listener_handle_lines({"+CIEV: 2,0"});
    drain();
    EXPECT_EQ(current_call_state.load(), CALL_IDLE);
    EXPECT_EQ(ringtone_timer_id, 0u);
    EXPECT_STREQ(current_call_number, "");
}

TEST_F(CallEvents, LongCallerNameIsCutOnACharacterBoundary)
{
    std::string name;
    for (int i = 0; i < 100; ++i)
        name += "é";   // 200 bytes
    listener_handle_lines({"+CLIP: \"123\",129,,,\"" + name + "\""});
    drain();
    size_t len = std::strlen(current_call_name);
    EXPECT_LE(len, 127u);
    EXPECT_TRUE(g_utf8_validate(current_call_name, -1, nullptr));
    EXPECT_EQ(len % 2, 0u);
}

}  // namespace
