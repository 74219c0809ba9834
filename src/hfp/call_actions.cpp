#include "hfp/call_actions.h"

#include "base/log.h"
#include "base/main_thread.h"
#include "hfp/call_state.h"
#include "hfp/link.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace {

// How long an action may wait for the phone's events before we ask it.
constexpr guint kConfirmMs = 5000;

void feed(const std::function<void(CallModel&)>& change)
{
    call_feed(hfp_link_generation(), change);
}

// Which action a confirmation timer watches; a newer action replaces it.
// Main loop only.
unsigned action_serial = 0;

struct Watch {
    unsigned serial;
    int action;
    const char* what;
};

gboolean confirm_timeout_cb(gpointer data)
{
    std::unique_ptr<Watch> watch(static_cast<Watch*>(data));
    if (watch->serial != action_serial || call_model_snapshot().view().action != watch->action)
        return G_SOURCE_REMOVE;
    log_msgf("⚠️ %s: the phone did not confirm within 5 s; reading its calls", watch->what);
    hfp_link_refresh();
    return G_SOURCE_REMOVE;
}

// Sends an action's command; the phone's events confirm it. A refusal, or
// no confirmation in time, reads the phone's state instead of guessing.
void confirmed_action(const char* command, int action, const char* what)
{
    unsigned serial = ++action_serial;
    g_timeout_add(kConfirmMs, confirm_timeout_cb, new Watch{serial, action, what});
    std::string shown = command;
    bool queued = hfp_link_send(command, {}, [shown, what](const AtResponse& r) {
        if (r.ok() || r.link_lost)
            return;
        log_msgf("⚠️ %s: the phone answered %s to %s; reading its calls", what,
                 r.timed_out ? "nothing" : r.final_line.c_str(), shown.c_str());
        hfp_link_refresh();
    });
    if (!queued) {
        // Nothing can reach the phone or confirm: ending is done here, an
        // answer is not; the next handshake reads back what is true.
        log_msgf("⚠️ %s: no call link", what);
        if (action == ACTION_ANSWERING)
            feed([](CallModel& m) { m.on_status(-1, -1, -1); });
        else
            feed([](CallModel& m) { m.reset(); });
    }
}

void hold_action(int action, const char* what)
{
    ASSERT_MAIN_THREAD();
    // The model, not the window's copy: a command acts on the phone's latest word.
    if (call_model_snapshot().view().state != CALL_ACTIVE) {
        log_msgf("⚠️ %s: no call", what);
        return;
    }
    char command[16];
    std::snprintf(command, sizeof command, "AT+CHLD=%d", action);
    std::string shown = what;
    bool queued = hfp_link_send(command, {}, [shown, action](const AtResponse& r) {
        if (!r.ok() && !r.link_lost) {
            log_msgf("⚠️ %s refused (AT+CHLD=%d)", shown.c_str(), action);
            hfp_link_refresh();
        }
    });
    if (!queued) {
        log_msgf("⚠️ %s: command could not be sent", what);
        return;
    }
    log_msgf("📞 %s (AT+CHLD=%d)", what, action);
    feed([action](CallModel& m) { m.on_hold_action(action); });
}

}  // namespace

void hold_and_answer() { hold_action(2, "Hold and answer"); }
void end_and_answer() { hold_action(1, "End and answer"); }
void reject_waiting() { hold_action(0, "Reject waiting call"); }
void swap_calls() { hold_action(2, "Swap calls"); }

bool send_key_tone(char key)
{
    ASSERT_MAIN_THREAD();
    bool valid = (key >= '0' && key <= '9') || key == '*' || key == '#';
    CallView view = call_model_snapshot().view();
    if (!valid || view.state != CALL_ACTIVE || view.held_only)
        return false;
    char command[16];
    std::snprintf(command, sizeof command, "AT+VTS=%c", key);
    // Queued: each tone waits for the phone's answer to the one before.
    bool queued = hfp_link_send(command, {}, [key](const AtResponse& r) {
        if (!r.ok() && !r.link_lost)
            log_msgf("⚠️ Key tone %c refused", key);
    });
    if (!queued) {
        log_msgf("⚠️ Key tone %c could not be sent", key);
        return false;
    }
    log_msgf("🔢 Key tone: %c", key);
    return true;
}

bool answer_call()
{
    log_msg("✅ Call answered");
    CallView view = call_model_snapshot().view();
    if (view.state != CALL_INCOMING || view.action != ACTION_NONE) {
        log_msg("⚠️ Answer: Invalid state");
        return false;
    }
    feed([](CallModel& m) { m.on_answer(); });
    confirmed_action("ATA", ACTION_ANSWERING, "Answer");
    voice_link_sync(true);
    return true;
}

bool reject_call()
{
    log_msg("❌ Call rejected");
    CallView view = call_model_snapshot().view();
    if (view.state != CALL_INCOMING || view.action != ACTION_NONE) {
        log_msg("⚠️ Reject: Invalid state");
        return false;
    }
    feed([](CallModel& m) { m.on_reject(); });
    confirmed_action("AT+CHUP", ACTION_REJECTING, "Reject");
    return true;
}

bool hang_up_call()
{
    log_msg("🔚 Call ended");
    CallView view = call_model_snapshot().view();
    if ((view.state != CALL_OUTGOING && view.state != CALL_ACTIVE) || view.action != ACTION_NONE) {
        log_msg("⚠️ Hangup: Invalid state");
        return false;
    }
    CallView after;
    call_feed(hfp_link_generation(), [](CallModel& m) { m.on_hangup(); }, nullptr, &after);
    if (after.action == ACTION_ENDING) {
        confirmed_action("AT+CHUP", ACTION_ENDING, "Hang up");
    } else if (!hfp_link_send("AT+CHUP")) {
        // A held call is left, or the waiting caller goes on ringing: the
        // phone's events say what became of the others.
        log_msg("⚠️ Hang up: no call link");
        return true;
    }
    log_msg("📱 AT+CHUP sent");
    return true;
}
