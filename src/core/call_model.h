// What the phone's calls are, from its "call", "callsetup" and "callheld"
// indicators and the codes around them. Pure: no GTK, no sockets, no clock.
#pragma once
#include <string>
#include <vector>

#include "core/at_result.h"

enum CallState { CALL_IDLE = 0, CALL_INCOMING, CALL_OUTGOING, CALL_ACTIVE };
// What the user asked of the phone that it has not yet confirmed.
enum CallAction { ACTION_NONE = 0, ACTION_ANSWERING, ACTION_REJECTING, ACTION_ENDING };

// What the window, the voice link and the actions need to know.
struct CallView {
    int state = CALL_IDLE;  // the main call's CallState
    bool waiting = false;   // a second caller waits beside the active call
    bool held = false;      // a call is on hold (alone, or beside the active one)
    bool held_only = false; // the only call is on hold
    bool voice = false;     // the voice link should be up
    int action = ACTION_NONE; // asked of the phone, not yet confirmed
    bool operator==(const CallView&) const = default;
};

struct CallParty {
    std::string number, name;
    bool operator==(const CallParty&) const = default;
};

class CallModel {
public:
    // "AT+CIND?" at a handshake: the phone's word on everything (-1: not reported).
    void on_status(int call, int callsetup, int callheld);
    void on_call(int value);
    void on_callsetup(int value);
    void on_callheld(int value);
    void on_ring();                          // RING
    void on_caller(const CallParty& caller); // "+CLIP:": rings, and names the ringing caller
    void on_waiting(const CallParty& caller);// "+CCWA:"
    // "NO CARRIER", "BUSY", "NO ANSWER"; with is_error "ERROR"/"+CME ERROR",
    // which only refuses a call being set up, never one in progress.
    void on_end_code(bool is_error);
    void on_dial_accepted(const CallParty& callee);
    void on_answer();
    void on_reject();
    void on_hangup();
    // AT+CHLD=<action> sent: tells the phone's next events which call went where.
    void on_hold_action(int action);
    // The phone's answer to AT+CLCC: names which number is active, held,
    // being set up or waiting (the indicators keep saying what state).
    void on_call_list(const std::vector<ListedCall>& calls);
    void reset();

    CallView view() const;
    const CallParty& party() const { return party_; }       // the active (or only) call
    const CallParty& waiting_party() const { return waiting_; }
    const CallParty& held_party() const { return held_party_; }
    // The caller of the latest incoming ring, kept after it ends: a ring
    // that ends at once may never have been shown with its caller.
    const CallParty& rung_party() const { return rung_; }

private:
    int call_ = 0, setup_ = 0, held_ = 0;
    bool answered_ = false;   // Answer pressed; the phone has not confirmed yet
    bool rejected_ = false;   // Reject pressed; RING/+CLIP until callsetup 0 are echoes
    bool ending_ = false;     // Hang up pressed; the phone has not confirmed yet
    bool dialing_ = false;    // dial accepted; the phone's callsetup not seen yet
    int pending_ = -1;        // the hold action sent and not yet seen done
    CallParty party_, waiting_, held_party_, rung_;
};
