#include "hfp/phone_lines.h"

#include "app/log.h"
#include "app/text.h"
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/caller_line.h"
#include "phonedata/phonebook.h"

#include <string_view>

namespace {

// The caller's name: from the line when the phone sent one, else the phonebook.
CallParty caller_party(const CallerLine& caller)
{
    char number[64], name[128];
    copy_text(number, utf8_repair(caller.number));
    copy_text(name, utf8_repair(caller.name));
    if (name[0] == '\0' && !(phonebook_name_for_caller(number, name, sizeof name) && name[0] != '\0'))
        name[0] = '\0';
    return CallParty{number, name};
}

// "+CLIP:" names the caller of a ringing call, "+CCWA:" a second caller.
void feed_party(unsigned generation, const std::string& line, bool (*parse)(std::string_view, CallerLine*),
                void (CallModel::*to_model)(const CallParty&), const char* what)
{
    CallerLine caller;
    if (!parse(line, &caller))
        return;
    CallParty party = caller_party(caller);
    if (!party.name.empty())
        log_msgf("%s: %s (%s)", what, party.name.c_str(), party.number.c_str());
    else
        log_msgf("%s: %s", what, party.number.c_str());
    call_feed(generation, [&](CallModel& m) { (m.*to_model)(party); });
}

void on_caller_line(unsigned generation, const std::string& line)
{
    feed_party(generation, line, parse_clip_line, &CallModel::on_caller, "📱 Caller");
}

void on_waiting_line(unsigned generation, const std::string& line)
{
    feed_party(generation, line, parse_ccwa_line, &CallModel::on_waiting, "⏳ Waiting caller");
}

void on_ring(unsigned generation, const std::string&)
{
    CallView before, after;
    if (call_feed(generation, [](CallModel& m) { m.on_ring(); }, &before, &after) && after.state == CALL_INCOMING &&
        before.state != CALL_INCOMING)
        log_msg("🔔 INCOMING CALL!");
}

void on_indicator_line(unsigned generation, const std::string& line)
{
    int indicator = -1, value = -1;
    if (parse_ciev(line.c_str(), &indicator, &value))
        handle_ciev_event_from(generation, indicator, value);
}

struct LineHandler {
    std::string_view prefix;
    void (*handle)(unsigned generation, const std::string& line);
};

// Results that start with '+' are looked for anywhere in the line (some
// phones put noise before them); RING only at its start, so that a caller's
// name holding the word never rings.
const LineHandler kHandlers[] = {
    {"+CLIP:", on_caller_line},
    {"+CCWA:", on_waiting_line},
    {"+CIEV:", on_indicator_line},
    {"RING", on_ring},
};

const LineHandler* handler_for(const std::string& line)
{
    for (const LineHandler& h : kHandlers) {
        size_t at = line.find(h.prefix);
        if (at == 0 || (at != std::string::npos && h.prefix.front() == '+'))
            return &h;
    }
    return nullptr;
}

}  // namespace

bool handle_phone_lines(const std::vector<std::string>& lines, unsigned generation)
{
    if (generation == 0)
        generation = hfp_link_generation();
    bool had_indicator = false;
    for (const std::string& raw : lines) {
        std::string line = utf8_repair(raw);
        std::string shown = line.substr(0, utf8_cut_len(line, 60));
        log_msgf("📥 HFP: %s", shown.c_str());
        if (const LineHandler* h = handler_for(line)) {
            had_indicator |= h->handle == on_indicator_line;
            h->handle(generation, line);
        }
    }
    // An end code beside an indicator event in the same read is the phone
    // repeating what the event already said.
    if (had_indicator)
        return false;
    for (const std::string& line : lines) {
        AtFinal code = classify_final(line);
        if (code == AtFinal::NONE || code == AtFinal::OK)
            continue;
        bool is_error = code == AtFinal::ERROR || code == AtFinal::CME_ERROR;
        CallView before, after;
        if (!call_feed(generation, [is_error](CallModel& m) { m.on_end_code(is_error); }, &before, &after))
            return false;
        if (before.state != CALL_IDLE && after.state == CALL_IDLE)
            log_msg("📱 Call ended");
        return after.state == CALL_IDLE;
    }
    return false;
}
