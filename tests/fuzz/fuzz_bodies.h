// Fuzz target bodies, shared by the libFuzzer programs and the corpus replay
// test. Each returns false when an invariant broke: text valid UTF-8 within
// its field, no row beyond the table, written files read back the same,
// chunking never matters.
#pragma once
#include "core/tel_uri.h"
#include "core/at.h"
#include "core/call_model.h"
#include "core/caller_line.h"
#include "core/csv.h"
#include "core/vcard.h"
#include "core/settings_file.h"
#include "core/voice_codec.h"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_body {

template <size_t N>
bool valid_text(const char (&field)[N], size_t size = N)
{
    size_t len = strnlen(field, size);
    return len < size && g_utf8_validate(field, gssize(len), nullptr);
}

// The CSV reader keeps a record's type to 16 bytes.
inline bool valid_row(const Contact& c) { return valid_text(c.name) && valid_text(c.number); }
inline bool valid_row(const RecentEntry& r)
{
    return valid_text(r.type, 16) && valid_text(r.name) && valid_text(r.number) && valid_text(r.time) &&
           valid_text(r.sort_key);
}

template <typename Row>
bool valid_rows(const Row* rows, int count)
{
    return count >= 0 && count <= 64 && std::all_of(rows, rows + count, [](const Row& r) { return valid_row(r); });
}

inline bool vcard(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rows = std::make_unique<Contact[]>(64);
    int count = 0;
    reduce_phonebook_vcards(bytes, rows.get(), 64, &count);
    auto records = std::make_unique<RecentEntry[]>(64);
    int n = reduce_call_history_vcards(bytes, "📥 Incoming", records.get(), 64, 0);
    auto named = [](const Contact& c) { return c.name[0] && c.number[0]; };
    auto numbered = [](const RecentEntry& r) { return r.number[0] != 0; };
    return valid_rows(rows.get(), count) && std::all_of(rows.get(), rows.get() + count, named) &&
           valid_rows(records.get(), n) && std::all_of(records.get(), records.get() + n, numbered);
}

// A CSV file read, written and read again gives the same file.
template <typename Row>
bool round_trip(const uint8_t* data, size_t size, int (*parse)(std::string_view, Row*, int),
                std::string (*format)(const Row*, int))
{
    auto rows = std::make_unique<Row[]>(64), again = std::make_unique<Row[]>(64);
    int count = parse(std::string_view(reinterpret_cast<const char*>(data), size), rows.get(), 64);
    if (!valid_rows(rows.get(), count))
        return false;
    std::string first = format(rows.get(), count);
    int count2 = parse(first, again.get(), 64);
    return count2 == count && format(again.get(), count2) == first;
}

inline bool contacts_csv(const uint8_t* d, size_t n) { return round_trip(d, n, parse_contacts_csv, format_contacts_csv); }
inline bool recents_csv(const uint8_t* d, size_t n) { return round_trip(d, n, parse_recents_csv, format_recents_csv); }

inline bool settings(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    Settings whole = parse_settings(std::string_view(text, size));
    if (whole.autostart != 0 && whole.autostart != 1)
        return false;
    // Pieces of 1 to 7 bytes, as reads of any size deliver them.
    SettingsParser parser;
    for (size_t i = 0, step = 1; i < size; i += step, step = step % 7 + 1)
        parser.feed(text + i, std::min(step, size - i));
    if (!(parser.finish() == whole))
        return false;
    Settings other{-1, -1, -1, -1, -1, -1, 1};
    return parse_settings(format_settings(whole), other) == whole;
}

// A tel: link as a command-line argument: whatever it holds, a number it
// lets through is one a phone may dial, and reads back the same alone.
inline bool tel_link(const uint8_t* data, size_t size)
{
    std::string arg(reinterpret_cast<const char*>(data), size);
    TelLink link = parse_tel_link(arg.c_str());
    const std::string& number = link.number;
    if (!link.ok)
        return number.empty();
    if (!link.recognised || number.size() > kMaxLinkNumber || link.extension.size() > 32 ||
        link.subaddress.size() > 32 || number.find_first_not_of("0123456789*#+") != std::string::npos ||
        number.find('+', 1) != std::string::npos)
        return false;
    TelLink again = parse_tel_link(("tel:" + number).c_str());
    return again.ok && again.number == number;
}

// What a line of the phone's tells a call model, as the readers feed it.
// Our own commands ("ATA", "AT+CHUP", "AT+CHLD=n", "ATD") in the input stand
// for the user's actions, so the model meets them between the phone's events.
inline void feed_model(CallModel& model, const IndicatorMap& map, const std::string& line)
{
    CallerLine caller;
    int indicator = 0, value = 0;
    std::vector<int> values;
    if (parse_clip_line(line, &caller))
        model.on_caller({caller.number, caller.name});
    else if (parse_ccwa_line(line, &caller))
        model.on_waiting({caller.number, caller.name});
    else if (line.rfind("RING", 0) == 0)
        model.on_ring();
    else if (parse_ciev(line.c_str(), &indicator, &value)) {
        if (indicator == map.call)
            model.on_call(value);
        else if (indicator == map.callsetup)
            model.on_callsetup(value);
        else if (indicator == map.callheld)
            model.on_callheld(value);
    } else if (parse_cind_values(line, &values)) {
        auto at = [&](int i) { return i >= 1 && size_t(i) <= values.size() ? values[size_t(i) - 1] : -1; };
        model.on_status(at(map.call), at(map.callsetup), at(map.callheld));
    } else if (line.rfind("AT+CHLD=", 0) == 0 && line.size() > 8)
        model.on_hold_action(line[8] - '0');
    else if (line == "ATA")
        model.on_answer();
    else if (line == "AT+CHUP")
        model.on_hangup();
    else if (ListedCall listed; parse_clcc(line, &listed))
        model.on_call_list({listed});
    else if (line.rfind("ATD", 0) == 0)
        model.on_dial_accepted({line.substr(3), ""});
    else if (AtFinal final = classify_final(line); final != AtFinal::NONE && final != AtFinal::OK)
        model.on_end_code(final == AtFinal::ERROR || final == AtFinal::CME_ERROR);
}

// The AT layer: the first byte chooses the read size, so the fuzzer explores
// read boundaries too. Every line then goes through the classifier, the
// parsers and a call model, which "call 0" always leaves idle.
inline bool at(const uint8_t* data, size_t size)
{
    if (size == 0)
        return true;
    size_t step = (data[0] % 17) + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;

    AtLineSplitter whole, pieces;
    std::vector<std::string> expected = whole.feed(text, n);
    std::vector<std::string> got;
    for (size_t off = 0; off < n; off += step) {
        std::vector<std::string> lines = pieces.feed(text + off, std::min(step, n - off));
        got.insert(got.end(), lines.begin(), lines.end());
    }
    if (got != expected)
        return false;

    IndicatorMap map;
    CallModel model;
    for (const std::string& line : got) {
        if (line.empty() || line.size() > AtLineSplitter::kMaxLine || line.find_first_of("\r\n") != std::string::npos)
            return false;
        if (line.rfind("+CHLD:", 0) == 0 && classify_final(line) != AtFinal::NONE)
            return false;
        IndicatorMap learnt;
        if (parse_cind_test(line, &learnt)) {
            if (learnt.call < 1 || learnt.callsetup < 1 || learnt.call == learnt.callsetup)
                return false;
            map = learnt;
        }
        feed_model(model, map, line);
        // call 0 leaves a call being set up; with callsetup 0 nothing is left.
        CallModel ended = model;
        ended.on_call(0);
        if (!(ended.waiting_party() == CallParty{}) || !(ended.held_party() == CallParty{}))
            return false;
        ended.on_callsetup(0);
        if (!(ended.view() == CallView{}))
            return false;
    }
    // The parsers also take text that never went through the splitter.
    std::string raw(text, n);
    parse_cind_test(raw, &map);
    int features = 0, indicator = 0, value = 0;
    parse_brsf(raw, &features);
    parse_ciev(raw.c_str(), &indicator, &value);
    ListedCall call;
    if (parse_clcc(raw, &call) && (call.index < 1 || call.status < 0 || call.status > 5))
        return false;
    std::vector<std::string> actions;
    parse_chld_list(raw, &actions);
    if (parse_gain(raw, "+VGS", &value) && (value < 0 || value > 15))
        return false;
    return true;
}

// What a phone sends on a wideband voice link. The first byte chooses the
// codec and the size of the link's pieces; the rest is the link's bytes.
// However the bytes are cut, the same frames come out, whole ones only.
inline std::vector<int16_t> decode_in_pieces(VoiceCodec codec, const uint8_t* data, size_t size, size_t piece,
                                             uint64_t* lost)
{
    VoiceDecoder decoder(codec);
    std::vector<int16_t> heard;
    int16_t out[2048];
    for (size_t at = 0; at < size; at += piece) {
        size_t n = decoder.decode(data + at, std::min(piece, size - at), out, 2048);
        heard.insert(heard.end(), out, out + n);
    }
    *lost = decoder.lost_frames();
    return heard;
}

inline bool voice_link(const uint8_t* data, size_t size)
{
    if (size == 0)
        return true;
    const VoiceCodec codec = data[0] & 1 ? VoiceCodec::LC3_SWB : VoiceCodec::MSBC;
    const size_t piece = size_t(data[0] >> 1) % 60 + 1;
    uint64_t lost_air = 0, lost_piece = 0;
    std::vector<int16_t> air = decode_in_pieces(codec, data + 1, size - 1, 48, &lost_air);
    std::vector<int16_t> pieces = decode_in_pieces(codec, data + 1, size - 1, piece, &lost_piece);
    return air == pieces && lost_air == lost_piece && air.size() % size_t(codec_frame_samples(codec)) == 0;
}

}  // namespace fuzz_body
