// Indicator events and listener lines driving the one call state, in process:
// the reader side queues requests, the main loop (drained here) applies them.
#include "core/at.h"
#include "core/call_model.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/phone_lines.h"
#include "ui/call_display.h"
#include "text_helpers.h"
#include "hfp/indicator_map.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

class CallEvents : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(g_main_context_acquire(nullptr)); }
    void TearDown() override { g_main_context_release(nullptr); }
    static void drain()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
};

using unit::repeat;

// Batches of listener lines, each applied by the main loop before the next;
// "+CIEV: C," and "+CIEV: S," stand for the call and callsetup positions.
// The ringtone runs exactly while a call rings.
TEST_F(CallEvents, ListenerLinesEndInTheRightCallForBothIndicatorOrders)
{
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> batches;
        int expected;
        std::string number = "", name_shown = "";
    };
    const std::string clip_anna = "+CLIP: \"+4915112345678\",145,,,\"Anna\"";
    const Case cases[] = {
        {"incoming answered on the phone", {{"+CIEV: S,1"}, {"+CIEV: C,1", "+CIEV: S,0"}}, CALL_ACTIVE},
        {"outgoing alerting", {{"+CIEV: S,2", "+CIEV: S,3"}}, CALL_OUTGOING},
        {"outgoing answered then ended", {{"+CIEV: S,2", "+CIEV: C,1", "+CIEV: S,0", "+CIEV: C,0"}}, CALL_IDLE},
        {"unknown values ignored", {{"+CIEV: S,7", "+CIEV: C,5"}}, CALL_IDLE},
        {"ring, caller, callsetup", {{"RING", clip_anna, "+CIEV: S,1"}}, CALL_INCOMING, "+4915112345678", "Anna"},
        {"caller line alone rings", {{"+CLIP: \"0301234567\",129"}}, CALL_INCOMING, "0301234567"},
        {"caller line without number still rings on RING", {{"+CLIP: 0301234567,129", "RING"}}, CALL_INCOMING},
        {"a caller line refreshes the ringing call", {{"RING"}, {"RING", "+CLIP: \"0301234567\",129,,,\"Anna\""}},
         CALL_INCOMING, "0301234567", "Anna"},
        {"long caller name cut on a character boundary", {{"+CLIP: \"123\",129,,,\"" + repeat("é", 100) + "\""}},
         CALL_INCOMING, "123", repeat("é", 63)},
        {"NO CARRIER ends the ringing call and forgets its caller", {{"RING", "+CLIP: \"555\",129"}, {"NO CARRIER"}},
         CALL_IDLE},
        {"ERROR ends it", {{"RING"}, {"ERROR"}}, CALL_IDLE},
        {"an indicator beside an end code is what counts", {{"+CIEV: C,1"}, {"+CIEV: S,0", "NO CARRIER"}},
         CALL_ACTIVE},
    };
    // One phone lists call/callsetup first, another puts "service" before them.
    for (auto [call, callsetup] : {std::pair{1, 2}, std::pair{2, 3}}) {
        hfp_set_indicator_map({.call = call, .callsetup = callsetup, .names = {}});
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(call) + ": " + c.name);
            for (std::vector<std::string> lines : c.batches) {
                for (std::string& line : lines)
                    if (line.rfind("+CIEV: ", 0) == 0)
                        line[7] = char('0' + (line[7] == 'C' ? call : callsetup));
                handle_phone_lines(lines);
                drain();
            }
            EXPECT_EQ(std::tuple(current_call_state.load(), std::string(current_call_number), std::string(current_call_name),
                                 ringtone_timer_id != 0),
                      std::tuple(c.expected, c.number, c.name_shown, c.expected == CALL_INCOMING));
            hfp_update_call_state_cb(GINT_TO_POINTER(CALL_IDLE));
            drain();
        }
    }
}

TEST_F(CallEvents, EveryIndicatorKeepsItsLatestValueByNameUntilThePhoneIsGone)
{
    IndicatorMap map;
    ASSERT_TRUE(parse_cind_test("+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),"
                                "(\"callheld\",(0-2)),(\"signal\",(0-5)),(\"roam\",(0,1)),(\"battchg\",(0-5))",
                                &map));
    hfp_set_indicator_map(map);
    call_status_from_phone(hfp_link_generation(), {1, 0, 0, 0, 4, 0, 3});
    handle_phone_lines({"+CIEV: 7,1", "+CIEV: 5,2"});
    drain();
    EXPECT_EQ(phone_indicator("battchg"), 1);
    EXPECT_EQ(phone_indicator("signal"), 2);
    EXPECT_EQ(phone_indicator("service"), 1);
    EXPECT_EQ(phone_indicator("roam"), 0);
    EXPECT_EQ(current_call_state.load(), CALL_IDLE) << "a battery or signal change is no call";
    // A request still queued from the link that closed is dropped.
    handle_phone_lines({"+CIEV: 3,1"});
    call_link_closed();
    drain();
    EXPECT_EQ(phone_indicator("battchg"), -1);
    EXPECT_EQ(current_call_state.load(), CALL_IDLE) << "a ring from a phone that is gone";
}

// A peer's trace, fed to the call model line by line. Steps: "call=1",
// "callsetup=0", "callheld=1", "status=c,s,h" (AT+CIND? at a handshake),
// "RING", "CLIP num [name]", "CCWA num [name]", "NO CARRIER", "ERROR",
// and the user's "dial num", "answer", "reject", "hangup", "chld=N".
// "clcc=idx,dir,stat,number;..." (the phone's call list). After each step the
// view reads: state (- I O A), then w (waiting), h (held beside), H (held
// alone), v (voice), then what was asked and not yet confirmed (a answering,
// r rejecting, e ending), then the party's number and "/waiting" or "/held".
CallParty party(const std::string& text)
{
    size_t space = text.find(' ');
    return space == std::string::npos ? CallParty{text, ""} : CallParty{text.substr(0, space), text.substr(space + 1)};
}

void feed_step(CallModel& m, const std::string& step)
{
    using Apply = void (*)(CallModel&, const std::string&);   // gets the text after the prefix
    const std::pair<const char*, Apply> steps[] = {
        {"call=", [](CallModel& m, const std::string& a) { m.on_call(std::stoi(a)); }},
        {"callsetup=", [](CallModel& m, const std::string& a) { m.on_callsetup(std::stoi(a)); }},
        {"callheld=", [](CallModel& m, const std::string& a) { m.on_callheld(std::stoi(a)); }},
        {"status=", [](CallModel& m, const std::string& a) { m.on_status(a[0] - '0', a[2] - '0', a[4] - '0'); }},
        {"RING", [](CallModel& m, const std::string&) { m.on_ring(); }},
        {"CLIP ", [](CallModel& m, const std::string& a) { m.on_caller(party(a)); }},
        {"CCWA ", [](CallModel& m, const std::string& a) { m.on_waiting(party(a)); }},
        {"NO CARRIER", [](CallModel& m, const std::string&) { m.on_end_code(false); }},
        {"ERROR", [](CallModel& m, const std::string&) { m.on_end_code(true); }},
        {"dial ", [](CallModel& m, const std::string& a) { m.on_dial_accepted(party(a)); }},
        {"answer", [](CallModel& m, const std::string&) { m.on_answer(); }},
        {"reject", [](CallModel& m, const std::string&) { m.on_reject(); }},
        {"hangup", [](CallModel& m, const std::string&) { m.on_hangup(); }},
        {"chld=", [](CallModel& m, const std::string& a) { m.on_hold_action(std::stoi(a)); }},
        {"clcc=", [](CallModel& m, const std::string& a) {
             std::vector<ListedCall> calls;
             for (size_t at = 0; at < a.size();) {
                 size_t end = a.find(';', at);
                 std::string row = a.substr(at, end == std::string::npos ? std::string::npos : end - at);
                 ListedCall c;
                 EXPECT_TRUE(parse_clcc("+CLCC: " + row.substr(0, 5) + ",0,0,\"" + row.substr(6) + "\",129", &c));
                 calls.push_back(c);
                 at = end == std::string::npos ? a.size() : end + 1;
             }
             m.on_call_list(calls);
         }},
    };
    for (const auto& [prefix, apply] : steps)
        if (step.rfind(prefix, 0) == 0)
            return apply(m, step.substr(std::strlen(prefix)));
    ADD_FAILURE() << "unknown step " << step;
}

std::string describe(const CallModel& m)
{
    CallView v = m.view();
    std::string out = std::string(1, "-IOA"[v.state]) + (v.waiting ? "w" : "") + (v.held && !v.held_only ? "h" : "") +
                      (v.held_only ? "H" : "") + (v.voice ? "v" : "") + (v.action ? std::string(1, " are"[v.action]) : "");
    if (v.state != CALL_IDLE)
        out += " " + m.party().number;
    if (v.waiting)
        out += "/" + m.waiting_party().number;
    if (v.held && !v.held_only)
        out += "/" + m.held_party().number;
    return out;
}

// Who rang stays known after the ring ends, for telling a missed call; a
// new ring forgets the last one's caller.
TEST(CallModel, TheLastCallerIsKeptAfterTheRingEnds)
{
    const std::pair<std::vector<std::string>, std::string> traces[] = {
        {{"RING", "CLIP 555 Anna", "callsetup=0"}, "555"},
        {{"callsetup=1", "CLIP 777", "callsetup=0"}, "777"},
        {{"RING", "CLIP 555", "callsetup=0", "RING", "callsetup=0"}, ""},   // the next caller withheld the number
        {{"CLIP 555", "callsetup=0", "callsetup=1", "callsetup=0"}, ""},
        {{"call=1", "CCWA 777", "callsetup=1", "callsetup=0"}, ""},        // a waiting caller is no ring
    };
    for (const auto& [steps, rung] : traces) {
        CallModel m;
        for (const std::string& step : steps)
            feed_step(m, step);
        EXPECT_EQ(m.rung_party().number, rung) << testing::PrintToString(steps);
    }
}

TEST(CallModel, PeerTracesShowEachCallTruthfully)
{
    using Steps = std::vector<std::pair<std::string, std::string>>;   // step, view after it
    const std::pair<const char*, Steps> traces[] = {
        {"incoming answered on the PC, phone confirms call then setup",
         {{"callsetup=1", "I "}, {"RING", "I "}, {"CLIP 555 Anna", "I 555"}, {"answer", "Iva 555"},
          {"RING", "Iva 555"}, {"CLIP 555 Anna", "Iva 555"}, {"call=1", "Av 555"}, {"callsetup=0", "Av 555"},
          {"call=0", "-"}}},
        {"incoming answered, setup 0 comes before call 1",
         {{"callsetup=1", "I "}, {"CLIP 555", "I 555"}, {"answer", "Iva 555"}, {"callsetup=0", "-"},
          {"call=1", "Av 555"}}},
        // ERROR to ATA: AT+CIND? then says what is true.
        {"answer refused, the phone still rings", {{"callsetup=1", "I "}, {"CLIP 555", "I 555"},
                                                    {"answer", "Iva 555"}, {"status=0,1,0", "I 555"}}},
        {"answer refused, the caller is gone", {{"callsetup=1", "I "}, {"answer", "Iva "}, {"status=0,0,0", "-"}}},
        {"caller gives up", {{"RING", "I "}, {"CLIP 555", "I 555"}, {"callsetup=0", "-"}, {"RING", "I "}}},
        {"rejected: the phone's echoes do not ring again",
         {{"callsetup=1", "I "}, {"CLIP 555", "I 555"}, {"reject", "Ir 555"}, {"RING", "Ir 555"},
          {"CLIP 555", "Ir 555"}, {"callsetup=0", "-"}, {"RING", "I "}}},
        {"outgoing, setup 0 before call 1",
         {{"dial 123", "Ov 123"}, {"callsetup=2", "Ov 123"}, {"callsetup=3", "Ov 123"}, {"callsetup=0", "-"},
          {"call=1", "Av 123"}, {"hangup", "Ave 123"}, {"RING", "Ave 123"}, {"call=0", "-"}}},
        {"hung up while dialling: ending until the phone's setup 0",
         {{"dial 123", "Ov 123"}, {"hangup", "Ove 123"}, {"callsetup=2", "Ove 123"}, {"callsetup=0", "-"}}},
        // Android: only call=0 when the active call ends beside a waiting caller.
        {"call 0 with a caller waiting: the caller rings on",
         {{"call=1", "Av "}, {"CLIP 555", "Av "}, {"callsetup=1", "Awv /"}, {"CCWA 777 Bob", "Awv /777"},
          {"call=0", "I 777"}, {"answer", "Iva 777"}, {"call=1", "Av 777"}, {"callsetup=0", "Av 777"}}},
        {"call 0 with a caller waiting, setup event after the caller line",
         {{"status=1,0,0", "Av "}, {"CCWA 777", "Awv /777"}, {"callsetup=1", "Awv /777"}, {"call=0", "I 777"},
          {"callsetup=0", "-"}}},
        // Only the call list knows which call is which after a swap on the phone.
        {"call list after a swap done on the phone",
         {{"dial 123", "Ov 123"}, {"call=1", "Av 123"}, {"CCWA 777", "Awv 123/777"}, {"chld=2", "Awv 123/777"},
          {"callheld=1", "Ahv 777/123"}, {"callsetup=0", "Ahv 777/123"}, {"callheld=1", "Ahv 777/123"},
          {"clcc=1,0,0,123;2,1,1,777", "Ahv 123/777"}}},
        {"call list names a call dialled on the phone and one already there",
         {{"callsetup=2", "Ov "}, {"clcc=1,0,2,0301", "Ov 0301"}, {"call=1", "Av 0301"},
          {"clcc=1,0,0,", "Av 0301"}, {"status=1,0,0", "Av 0301"}}},
        {"dialled on the phone itself", {{"callsetup=2", "Ov "}, {"call=1", "Av "}, {"callsetup=0", "Av "}}},
        {"a second caller who gives up leaves the call and its voice",
         {{"status=1,0,0", "Av "}, {"callsetup=1", "Awv /"}, {"CCWA 777 Bob", "Awv /777"}, {"RING", "Awv /777"},
          {"callsetup=0", "Av "}, {"call=0", "-"}}},
        {"waiting caller answered holding the call (held event first)",
         {{"dial 123", "Ov 123"}, {"call=1", "Av 123"}, {"CCWA 777", "Awv 123/777"}, {"callsetup=1", "Awv 123/777"},
          {"chld=2", "Awv 123/777"}, {"callheld=1", "Ahv 777/123"}, {"callsetup=0", "Ahv 777/123"},
          {"chld=2", "Ahv 777/123"}, {"callheld=1", "Ahv 123/777"}, {"chld=1", "Ahv 123/777"},
          {"callheld=0", "Av 777"}}},
        {"waiting caller answered holding the call (setup event first)",
         {{"status=1,0,0", "Av "}, {"dial 1", "Av "}, {"callsetup=1", "Awv /"}, {"CCWA 777", "Awv /777"},
          {"chld=2", "Awv /777"}, {"callsetup=0", "Av 777"}, {"callheld=1", "Ahv 777/"}}},
        {"waiting caller answered ending the call",
         {{"call=1", "Av "}, {"callsetup=1", "Awv /"}, {"CCWA 777 Bob", "Awv /777"}, {"chld=1", "Awv /777"},
          {"callsetup=0", "Av 777"}}},
        {"waiting caller rejected", {{"call=1", "Av "}, {"CCWA 777", "Awv /777"}, {"chld=0", "Awv /777"},
                                     {"callsetup=0", "Av "}}},
        {"hold the only call, then resume it",
         {{"call=1", "Av "}, {"CLIP 555", "Av "}, {"chld=2", "Av "}, {"callheld=2", "AHv "}, {"chld=2", "AHv "},
          {"callheld=0", "Av "}}},
        {"hang up beside a held call leaves the held one",
         {{"status=1,0,1", "Ahv /"}, {"hangup", "AHv "}, {"callheld=2", "AHv "}, {"call=0", "-"}}},
        {"hang up with a caller waiting: the waiting call rings",
         {{"call=1", "Av "}, {"CCWA 777", "Awv /777"}, {"hangup", "I 777"}}},
        {"a ringing call already there", {{"status=0,1,0", "I "}, {"CLIP 555", "I 555"}}},
        {"re-handshake with nothing left ends the call", {{"call=1", "Av "}, {"status=0,0,0", "-"}}},
        {"end codes: a refused command is no call ending",
         {{"call=1", "Av "}, {"ERROR", "Av "}, {"NO CARRIER", "-"}, {"dial 5", "Ov 5"}, {"ERROR", "-"}}},
        {"end code beside a second call leaves it to the indicators",
         {{"call=1", "Av "}, {"callsetup=1", "Awv /"}, {"NO CARRIER", "Awv /"}}},
        {"out of range values are ignored",
         {{"call=7", "-"}, {"callsetup=9", "-"}, {"callheld=-1", "-"}, {"status=9,9,9", "AHv "}}},
    };
    for (const auto& [name, steps] : traces) {
        CallModel model;
        std::string seen;
        for (const auto& [step, expected] : steps) {
            feed_step(model, step);
            seen += step + " ";
            EXPECT_EQ(describe(model), expected) << name << " after: " << seen;
        }
    }
}

}  // namespace
