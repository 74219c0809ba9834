#include "core/call_model.h"

#include "core/caller_line.h"

#include <utility>

namespace {

int clamp(int value, int low, int high)
{
    return value < low ? low : value > high ? high : value;
}

}  // namespace

void CallModel::on_status(int call, int callsetup, int callheld)
{
    if (call >= 0)
        call_ = clamp(call, 0, 1);
    if (callsetup >= 0)
        setup_ = clamp(callsetup, 0, 3);
    if (callheld >= 0)
        held_ = clamp(callheld, 0, 2);
    answered_ = rejected_ = dialing_ = ending_ = false;
    pending_ = -1;
    if (call_ == 0 && held_ == 0) {
        waiting_ = held_party_ = {};
        if (setup_ == 0)
            party_ = {};
    }
}

void CallModel::on_call(int value)
{
    if (value != 0 && value != 1)
        return;
    bool was_active = call_ == 1;
    if (value == 1 && call_ == 0) {
        // The call being set up is the one now in progress, not a second one.
        setup_ = 0;
    }
    call_ = value;
    answered_ = dialing_ = false;
    if (value == 0) {
        held_ = 0;
        pending_ = -1;
        ending_ = false;
        // call=0 says nothing about a call being set up: a caller who waited
        // beside the call that ended now rings on its own.
        if (was_active || setup_ != 1)
            party_ = setup_ == 1 ? waiting_ : CallParty{};
        waiting_ = held_party_ = {};
    }
}

void CallModel::on_callsetup(int value)
{
    if (value < 0 || value > 3)
        return;
    bool was_waiting = call_ == 1 && setup_ == 1;
    int before = setup_;
    if (before == 0 && value == 1 && call_ == 0)
        rung_ = {};   // a new ring, its caller not yet known
    setup_ = value;
    if (value == 0) {
        rejected_ = answered_ = dialing_ = false;
        if (call_ == 0)
            ending_ = false;
        if (was_waiting) {
            if (pending_ == 1) {
                party_ = waiting_;
            } else if (pending_ == 2) {
                held_party_ = party_;
                party_ = waiting_;
            }
            waiting_ = {};
            pending_ = -1;
        }
    } else if (value == 1 && before == 0) {
        if (call_ == 1)
            waiting_ = {};
        else if (held_ == 0)
            party_ = {};
    } else if (value >= 2) {
        if (!dialing_ && call_ == 0 && held_ == 0 && before == 0)
            party_ = {};   // dialled on the phone itself
        dialing_ = false;
    }
}

void CallModel::on_callheld(int value)
{
    if (value < 0 || value > 2)
        return;
    bool was_waiting = call_ == 1 && setup_ == 1;
    int before = held_;
    held_ = value;
    if (value == 1 && was_waiting && pending_ != 1 && pending_ != 0) {
        held_party_ = party_;
        party_ = waiting_;
        waiting_ = {};
        setup_ = 0;
    } else if (value == 1 && before == 1 && pending_ == 2) {
        std::swap(party_, held_party_);
    } else if (value == 0 && before == 1) {
        if (pending_ == 1)
            party_ = held_party_;
        held_party_ = {};
    } else if (value == 2 && before == 1) {
        party_ = held_party_;   // the active call ended; the held one is left
        held_party_ = {};
    }
    pending_ = -1;
}

void CallModel::on_ring()
{
    // During a call a second caller comes with "+CCWA:"; after Answer or
    // Reject the phone may still repeat RING and "+CLIP:" a moment.
    if (call_ == 1 || held_ != 0 || answered_ || rejected_ || setup_ >= 2)
        return;
    if (setup_ == 0)
        party_ = rung_ = {};
    setup_ = 1;
}

void CallModel::on_caller(const CallParty& caller)
{
    on_ring();
    if (view().state == CALL_INCOMING)
        party_ = rung_ = caller;
}

void CallModel::on_waiting(const CallParty& caller)
{
    if (call_ != 1)
        return;
    setup_ = 1;
    waiting_ = caller;
}

void CallModel::on_end_code(bool is_error)
{
    if (call_ == 1 || held_ != 0) {
        // A refused command (a key tone, a hold action) is no call ending;
        // with more than one call only the indicators can say which one ended.
        if (is_error || setup_ != 0 || held_ != 0)
            return;
    }
    call_ = setup_ = held_ = 0;
    answered_ = rejected_ = dialing_ = ending_ = false;
    pending_ = -1;
    party_ = waiting_ = held_party_ = {};
}

void CallModel::on_dial_accepted(const CallParty& callee)
{
    if (call_ != 0 || held_ != 0)
        return;
    if (setup_ == 0)
        dialing_ = true;
    party_ = callee;
}

void CallModel::on_answer()
{
    CallView v = view();
    if (v.state == CALL_INCOMING && v.action == ACTION_NONE)
        answered_ = true;
}

void CallModel::on_reject()
{
    CallView v = view();
    if (v.state == CALL_INCOMING && v.action == ACTION_NONE)
        rejected_ = true;
}

void CallModel::on_hangup()
{
    // AT+CHUP ends the active call; a held call stays on hold and a waiting
    // caller goes on ringing. The phone's events confirm either.
    if (call_ == 1 && held_ == 1) {
        party_ = held_party_;
        held_party_ = {};
        held_ = 2;
    } else if (call_ == 1 && setup_ == 1) {
        party_ = waiting_;
        waiting_ = {};
        call_ = 0;
    } else {
        // Shown as ending until the phone's events say the call is gone.
        ending_ = true;
        return;
    }
    answered_ = rejected_ = dialing_ = false;
    pending_ = -1;
}

void CallModel::on_hold_action(int action)
{
    pending_ = action;
}

void CallModel::reset()
{
    *this = CallModel{};
}

void CallModel::on_call_list(const std::vector<ListedCall>& calls)
{
    const ListedCall *active = nullptr, *held = nullptr, *setup = nullptr, *waiting = nullptr;
    for (const ListedCall& c : calls) {
        const ListedCall*& slot = c.status == 0 ? active : c.status == 1 ? held : c.status == 5 ? waiting : setup;
        if (!slot)
            slot = &c;
    }
    // A number we already know keeps the name it came with (a swap on the
    // phone moves it to the other slot); a call without a number changes nothing.
    // A number dialled as typed ("+1 (408) 555-0142") is listed as the phone
    // dialled it: the same call, still shown as the user saw it.
    const CallParty known[] = {party_, waiting_, held_party_};
    auto take = [&known](CallParty& slot, const ListedCall* c) {
        if (!c || c->number.empty())
            return;
        for (const CallParty& k : known)
            if (k.number == c->number || (!k.number.empty() && dial_string(k.number) == dial_string(c->number))) {
                slot = k;
                if (slot.name.empty())
                    slot.name = c->name;
                return;
            }
        slot = CallParty{c->number, c->name};
    };
    if (active) {
        take(party_, active);
        take(held_party_, held);
    } else if (held) {
        take(party_, held);
    } else {
        take(party_, setup);
    }
    take(waiting_, waiting);
}

CallView CallModel::view() const
{
    CallView v;
    if (call_ == 1 || held_ != 0) {
        v.state = CALL_ACTIVE;
        v.waiting = call_ == 1 && setup_ == 1;
        v.held = held_ != 0;
        v.held_only = held_ == 2 || (held_ != 0 && call_ == 0);
        v.action = ending_ ? ACTION_ENDING : ACTION_NONE;
    } else if (setup_ == 1) {
        v.state = CALL_INCOMING;
        v.action = answered_ ? ACTION_ANSWERING : rejected_ ? ACTION_REJECTING : ACTION_NONE;
    } else if (setup_ >= 2 || dialing_) {
        v.state = CALL_OUTGOING;
        v.action = ending_ ? ACTION_ENDING : ACTION_NONE;
    }
    v.voice = v.state == CALL_ACTIVE || v.state == CALL_OUTGOING || v.action == ACTION_ANSWERING;
    return v;
}
