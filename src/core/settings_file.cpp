#include "core/settings_file.h"

#include <glib.h>

#include <climits>
#include <cstring>

namespace {

struct Member {
    const char* key;
    int Settings::*field;
};

const Member kMembers[] = {
    {"col_recent_type", &Settings::col_recent_type},
    {"col_recent_name", &Settings::col_recent_name},
    {"col_recent_number", &Settings::col_recent_number},
    {"col_recent_time", &Settings::col_recent_time},
    {"col_contacts_name", &Settings::col_contacts_name},
    {"col_contacts_number", &Settings::col_contacts_number},
};

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void skip_blanks(std::string_view line, size_t& i)
{
    while (i < line.size() && is_blank(line[i]))
        ++i;
}

// ' "key" : %d' read the way a conversion format reads it: any run of blanks
// where the pattern has one, an optional sign, at least one digit. A number
// outside int does not match, so the member keeps its value.
bool match_member(std::string_view line, const char* key, int* value)
{
    size_t i = 0;
    skip_blanks(line, i);
    std::string quoted = std::string("\"") + key + "\"";
    if (line.compare(i, quoted.size(), quoted) != 0)
        return false;
    i += quoted.size();
    skip_blanks(line, i);
    if (i >= line.size() || line[i] != ':')
        return false;
    ++i;
    skip_blanks(line, i);
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) {
        negative = line[i] == '-';
        ++i;
    }
    if (i >= line.size() || line[i] < '0' || line[i] > '9')
        return false;
    long long magnitude = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (line[i] - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    long long signed_value = negative ? -magnitude : magnitude;
    if (signed_value > INT_MAX || signed_value < INT_MIN)
        return false;
    *value = static_cast<int>(signed_value);
    return true;
}

}  // namespace

void SettingsParser::feed(const char* data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        piece_ += data[i];
        if (data[i] == '\n' || piece_.size() >= kMaxPiece)
            take_piece();
    }
}

Settings SettingsParser::finish()
{
    if (!piece_.empty())
        take_piece();
    return values_;
}

void SettingsParser::take_piece()
{
    // A zero byte ends the text of a piece, as it ends a C string.
    std::string_view line(piece_.data(), strnlen(piece_.data(), piece_.size()));
    bool matched = false;
    for (const Member& member : kMembers) {
        int value = 0;
        if (match_member(line, member.key, &value)) {
            values_.*member.field = value;
            matched = true;
            break;
        }
    }
    if (!matched && line.find("\"cancel_echo\"") != std::string_view::npos) {
        if (line.find("true") != std::string_view::npos)
            values_.cancel_echo = 1;
        else if (line.find("false") != std::string_view::npos)
            values_.cancel_echo = 0;
        matched = true;
    }
    if (!matched && line.find("\"autostart\"") != std::string_view::npos) {
        if (line.find("true") != std::string_view::npos)
            values_.autostart = 1;
        else if (line.find("false") != std::string_view::npos)
            values_.autostart = 0;
    }
    piece_.clear();
}

Settings parse_settings(std::string_view text, const Settings& start)
{
    SettingsParser parser(start);
    parser.feed(text.data(), text.size());
    return parser.finish();
}

std::string format_settings(const Settings& v)
{
    gchar* text = g_strdup_printf("{\n"
                                  "  \"col_recent_type\": %d,\n"
                                  "  \"col_recent_name\": %d,\n"
                                  "  \"col_recent_number\": %d,\n"
                                  "  \"col_recent_time\": %d,\n"
                                  "  \"col_contacts_name\": %d,\n"
                                  "  \"col_contacts_number\": %d,\n"
                                  "  \"autostart\": %s%s\n"
                                  "}\n",
                                  v.col_recent_type, v.col_recent_name, v.col_recent_number, v.col_recent_time,
                                  v.col_contacts_name, v.col_contacts_number, v.autostart ? "true" : "false",
                                  // Off, the file keeps its nine lines.
                                  v.cancel_echo ? ",\n  \"cancel_echo\": true" : "");
    std::string result = text;
    g_free(text);
    return result;
}

