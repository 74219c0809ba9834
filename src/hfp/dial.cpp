#include "hfp/dial.h"

#include "hfp/pending_dial.h"
#include "base/log.h"
#include "core/text.h"
#include "audio/sco.h"
#include "hfp/call_state.h"
#include "core/caller_line.h"
#include "hfp/link.h"
#include "hfp/listener.h"
#include "phonedata/phonebook.h"
#include "base/changes.h"
#include "base/events.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

namespace {

// A number longer than this would push ";\r" out of the 127-byte command.
constexpr size_t kMaxNumberLength = 122;
// How long the phone may take to take or refuse a dial.
constexpr int kDialReplyTimeoutMs = 10000;

// One dial at a time: set by dial_number on the main loop, cleared once the
// answer is judged (link reader; the main loop when the link has just closed).
std::atomic<int> dial_in_progress{0};

void fallback(const std::string& number)
{
    post_event(DialRefused{number});
}

// Fed before the link reads on, so the phone's callsetup event that follows
// is judged against the outgoing call. The number is kept as the user saw it.
void accept(const std::string& number, unsigned generation)
{
    char name[128] = "";
    if (!phonebook_name_exact(number.c_str(), name, sizeof name))
        name[0] = '\0';
    CallParty callee{number, name};
    // A dial the phone took just before it went away shows nothing.
    if (call_feed(generation, [&callee](CallModel& m) { m.on_dial_accepted(callee); }))
        voice_link_sync(true);
}

// The phone's answer to ATD, on the link's thread.
void judge_dial(const std::string& number, unsigned generation, const AtResponse& r)
{
    if (r.link_lost) {
        log_msg("⚠️ Call command could not be sent");
        fallback(number);
    } else if (r.ok()) {
        log_msgf("✓ Call started: %s", number.c_str());
        accept(number, generation);
    } else if (r.timed_out) {
        // The phone may still be dialling: ask it before giving up.
        log_msg("⚠️ Call response: (empty)");
        hfp_link_refresh([number, generation] {
            if (call_model_snapshot().view().state == CALL_OUTGOING)
                accept(number, generation);
            else
                fallback(number);
        });
    } else if (r.final == AtFinal::NO_CARRIER) {
        log_msg("⚠️ Connection lost");
        fallback(number);
    } else {
        log_msgf("⚠️ Phone rejected call (%s)", utf8_repair(r.final_line).c_str());
        fallback(number);
    }
    dial_in_progress = 0;
}

// A refused number is shown with its control characters made visible.
std::string printable(const char* number)
{
    std::string out;
    for (const char* p = number; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f)
            out += "\\x" + std::string(1, "0123456789abcdef"[c >> 4]) + "0123456789abcdef"[c & 15];
        else
            out += *p;
    }
    return utf8_repair(out);
}

}  // namespace

void apply_dial_refused(const DialRefused& event)
{
    // The phone took the number after all (its answer came late): the
    // display follows the call, and a failure dialog would contradict it.
    if (call_model_snapshot().view().state != CALL_IDLE) {
        log_msgf("ℹ️ %s: the phone placed the call after all", event.number.c_str());
        return;
    }
    // The window copies it for the user and says why.
    state_changed(Change::DialFailed, 0, event.number);
}

bool dial_number(const char* number)
{
    if (!number || number[0] == '\0') {
        log_msg("⚠️ Number empty");
        return false;
    }
    // A CR, LF or ';' would end the ATD command early and let the rest of
    // the text run as commands of its own.
    if (!number_is_dialable(number) || std::strlen(number) > kMaxNumberLength) {
        log_msgf("⚠️ Number refused (control character, ';' or too long): %s", printable(number).c_str());
        return false;
    }
    if (!hfp_phone_connected()) {
        log_msg("⚠️ Phone must be connected for call");
        return false;
    }
    // One call at a time: a second dial would put the call in progress on
    // hold on most phones, or be refused with nothing to show for it.
    if (call_model_snapshot().view().state != CALL_IDLE) {
        log_msgf("⚠️ A call is in progress; not dialling %s", number);
        return false;
    }
    std::string command = "ATD" + dial_string(number) + ";";
    if (command == "ATD;") {
        log_msgf("⚠️ Number refused (nothing a phone can dial): %s", printable(number).c_str());
        return false;
    }
    // No link of our own beside the standing one: the phone allows one per
    // channel. The number waits for the link instead.
    if (!hfp_link_ready()) {
        pending_dial_set(number);
        log_msgf("📞 Number waiting for the phone: %s", number);
        state_changed(Change::Header);
        return true;
    }
    int idle = 0;
    if (!dial_in_progress.compare_exchange_strong(idle, 1)) {
        log_msgf("⚠️ A dial is already in progress; not dialling %s", number);
        return false;
    }
    log_msgf("📞 Calling: %s", number);
    std::string shown = number;
    unsigned generation = hfp_link_generation();
    bool queued = hfp_link_send(command, {}, [shown, generation](const AtResponse& r) { judge_dial(shown, generation, r); },
                                kDialReplyTimeoutMs);
    if (!queued) {
        dial_in_progress = 0;
        pending_dial_set(number);
        log_msgf("📞 Number waiting for the phone: %s", number);
    }
    return true;
}
