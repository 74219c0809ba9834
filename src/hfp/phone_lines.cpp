#include "hfp/phone_lines.h"

#include "base/log.h"
#include "core/text.h"
#include "core/at.h"
#include "hfp/call_state.h"
#include "core/caller_line.h"
#include "hfp/conversation.h"
#include "hfp/link.h"
#include "hfp/volume_sync.h"
#include "phonedata/phonebook.h"
#include "hfp/indicator_map.h"

#include <memory>
#include <string_view>

namespace {

// The caller's name: from the line when the phone sent one, else the phonebook.
CallParty caller_party(const std::string& raw_number, const std::string& raw_name)
{
    char number[64], name[128];
    copy_text(number, utf8_repair(raw_number));
    copy_text(name, utf8_repair(raw_name));
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
    CallParty party = caller_party(caller.number, caller.name);
    if (!party.name.empty())
        log_msgf("%s: %s (%s)", what, party.name.c_str(), party.number.c_str());
    else
        log_msgf("%s: %s", what, party.number.c_str());
    call_feed(generation, [&](CallModel& m) { (m.*to_model)(party); });
}

// An end code right after an indicator event is the phone repeating what
// the event already said. Judged line by line, so it holds however the
// lines were split into reads.
struct Batch {
    unsigned generation;
    bool after_indicator = false;
};

void on_caller_line(Batch& b, const std::string& line)
{
    feed_party(b.generation, line, parse_clip_line, &CallModel::on_caller, "📱 Caller");
}

void on_waiting_line(Batch& b, const std::string& line)
{
    feed_party(b.generation, line, parse_ccwa_line, &CallModel::on_waiting, "⏳ Waiting caller");
}

void on_ring(Batch& b, const std::string&)
{
    CallView before, after;
    if (call_feed(b.generation, [](CallModel& m) { m.on_ring(); }, &before, &after) && after.state == CALL_INCOMING &&
        before.state != CALL_INCOMING)
        log_msg("🔔 INCOMING CALL!");
}

void on_indicator_line(Batch& b, const std::string& line)
{
    int indicator = -1, value = -1;
    if (!parse_ciev(line.c_str(), &indicator, &value))
        return;
    handle_ciev_event_from(b.generation, indicator, value);
    IndicatorMap map = hfp_indicator_map();
    if (indicator == map.call || indicator == map.callsetup || indicator == map.callheld)
        hfp_link_list_calls();
}

bool on_end_code(Batch& b, AtFinal code)
{
    bool is_error = code == AtFinal::ERROR || code == AtFinal::CME_ERROR;
    CallView before, after;
    if (!call_feed(b.generation, [is_error](CallModel& m) { m.on_end_code(is_error); }, &before, &after))
        return false;
    if (before.state != CALL_IDLE && after.state == CALL_IDLE)
        log_msg("📱 Call ended");
    return after.state == CALL_IDLE;
}

struct LineHandler {
    std::string_view prefix;
    void (*handle)(Batch& b, const std::string& line);
};

// Results that start with '+' are looked for anywhere in the line (some
// phones put noise before them); RING only at its start, so that a caller's
// name holding the word never rings.
void on_speaker_gain(Batch&, const std::string& line)
{
    int gain = 0;
    if (parse_gain(line, "+VGS", &gain))
        hfp_gain_from_phone(true, gain);
}

void on_microphone_gain(Batch&, const std::string& line)
{
    int gain = 0;
    if (parse_gain(line, "+VGM", &gain))
        hfp_gain_from_phone(false, gain);
}

const LineHandler kHandlers[] = {
    {"+CLIP:", on_caller_line},
    {"+CCWA:", on_waiting_line},
    {"+CIEV:", on_indicator_line},
    {"RING", on_ring},
    {"+VGS", on_speaker_gain},
    {"+VGM", on_microphone_gain},
};

// True when an end code ended the call.
bool handle_line(Batch& b, const std::string& raw)
{
    std::string line = utf8_repair(raw);
    AtFinal code = classify_final(line);
    if (code != AtFinal::NONE) {
        bool repeat = b.after_indicator;
        b.after_indicator = false;
        return code != AtFinal::OK && !repeat && on_end_code(b, code);
    }
    b.after_indicator = line.find("+CIEV:") != std::string::npos;
    for (const LineHandler& h : kHandlers) {
        size_t at = line.find(h.prefix);
        if (at == 0 || (at != std::string::npos && h.prefix.front() == '+')) {
            h.handle(b, line);
            return false;
        }
    }
    return false;
}

void log_line(const std::string& raw)
{
    std::string line = utf8_repair(raw);
    std::string shown = line.substr(0, utf8_cut_len(line, 60));
    log_msgf("📥 HFP: %s", shown.c_str());
}

}  // namespace

void register_phone_lines(AtConversation& conversation, unsigned generation)
{
    auto batch = std::make_shared<Batch>(Batch{generation});
    conversation.on_line(log_line);
    conversation.on("", [batch](const std::string& line) { handle_line(*batch, line); });
}

bool handle_phone_lines(const std::vector<std::string>& lines, unsigned generation)
{
    Batch b{generation == 0 ? hfp_link_generation() : generation};
    bool ended = false;
    for (const std::string& line : lines) {
        log_line(line);
        ended = handle_line(b, line) || ended;
    }
    return ended;
}

void apply_call_list(unsigned generation, const std::vector<std::string>& lines)
{
    std::vector<ListedCall> calls;
    for (const std::string& line : lines) {
        ListedCall call;
        if (!parse_clcc(line, &call))
            continue;
        CallParty party = caller_party(call.number, call.name);
        call.number = party.number;
        call.name = party.name;
        calls.push_back(std::move(call));
    }
    call_feed(generation, [&calls](CallModel& m) { m.on_call_list(calls); });
}
