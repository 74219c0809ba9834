#include "phonedata/vcard.h"

#include "app/text.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

namespace {

std::string_view physical_line(std::string_view data, size_t* pos)
{
    size_t start = *pos;
    size_t end = data.find('\n', start);
    if (end == std::string_view::npos) {
        *pos = data.size();
        end = data.size();
    } else {
        *pos = end + 1;
    }
    std::string_view line = data.substr(start, end - start);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

std::string upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = g_ascii_toupper(c);
    return out;
}

bool interesting(const std::string& name)
{
    return name == "FN" || name == "N" || name == "TEL" || name == "X-IRMC-CALL-DATETIME" || name == "BEGIN" ||
           name == "END";
}

// Value of a parameter such as CHARSET=ISO-8859-1 (upper-cased params), "" if absent.
std::string param_value(const std::string& params_upper, std::string_view original, const char* key)
{
    std::string needle = std::string(key) + "=";
    size_t at = 0;
    while ((at = params_upper.find(needle, at)) != std::string::npos) {
        if (at == 0 || params_upper[at - 1] == ';') {
            size_t start = at + needle.size();
            size_t end = params_upper.find(';', start);
            std::string_view v = original.substr(start, (end == std::string::npos ? params_upper.size() : end) - start);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
                v = v.substr(1, v.size() - 2);
            return std::string(v);
        }
        at += needle.size();
    }
    return "";
}

bool is_quoted_printable(const std::string& params_upper)
{
    return params_upper.find("QUOTED-PRINTABLE") != std::string::npos;
}

std::string cut_at_line_end(std::string text)
{
    size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos)
        text.resize(end);
    return text;
}

std::string to_utf8(std::string text, const std::string& charset)
{
    if (!charset.empty() && g_ascii_strcasecmp(charset.c_str(), "UTF-8") != 0 &&
        g_ascii_strcasecmp(charset.c_str(), "UTF8") != 0) {
        gsize written = 0;
        gchar* converted =
            g_convert(text.data(), gssize(text.size()), "UTF-8", charset.c_str(), nullptr, &written, nullptr);
        if (converted) {
            text.assign(converted, written);
            g_free(converted);
        }
    }
    return text;
}

void store_text(char* dst, size_t size, const std::string& text) { copy_text(dst, size, std::string_view(text)); }

// Splits a structured value at the semicolons that are not escaped.
std::vector<std::string> split_components(std::string_view raw)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            parts.back() += raw[i];
            parts.back() += raw[++i];
        } else if (raw[i] == ';') {
            parts.emplace_back();
        } else {
            parts.back() += raw[i];
        }
    }
    return parts;
}

}  // namespace

std::string quoted_printable_decode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '=' && i + 2 < text.size() && g_ascii_isxdigit(text[i + 1]) &&
            g_ascii_isxdigit(text[i + 2])) {
            out += char(g_ascii_xdigit_value(text[i + 1]) * 16 + g_ascii_xdigit_value(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string vcard_unescape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[i + 1];
            if (next == ',' || next == ';' || next == '\\' || next == ':') {
                out += next;
                ++i;
                continue;
            }
            if (next == 'n' || next == 'N') {
                out += ' ';
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

namespace vcard_detail {

bool next_property(std::string_view data, size_t* pos, VcardProperty* out)
{
    while (*pos < data.size()) {
        std::string_view line = physical_line(data, pos);
        // Empty lines and continuations of a skipped line carry nothing.
        if (line.empty() || line[0] == ' ' || line[0] == '\t')
            continue;
        size_t colon = line.find(':');
        size_t semi = line.find(';');
        size_t name_end = std::min({colon, semi, line.size()});
        std::string_view name = line.substr(0, name_end);
        size_t dot = name.rfind('.');
        if (dot != std::string_view::npos)
            name = name.substr(dot + 1);
        out->name = upper(name);
        out->has_value = colon != std::string_view::npos;
        std::string_view params;
        if (semi != std::string_view::npos && semi < colon)
            params = line.substr(semi + 1, (colon == std::string_view::npos ? line.size() : colon) - semi - 1);
        std::string params_upper = upper(params);
        bool qp = is_quoted_printable(params_upper);
        bool wanted = interesting(out->name);

        std::string joined;
        if (wanted && out->has_value)
            joined.assign(line.substr(colon + 1));
        // Folded lines start with a blank; quoted-printable soft line breaks
        // end with "=" and go on at the start of the next line.
        bool soft_break = qp && !line.empty() && line.back() == '=';
        while (*pos < data.size()) {
            size_t peek = *pos;
            std::string_view next = physical_line(data, &peek);
            if (soft_break) {
                if (wanted && !joined.empty() && joined.back() == '=')
                    joined.pop_back();
                if (wanted)
                    joined.append(next);
                soft_break = !next.empty() && next.back() == '=';
                *pos = peek;
            } else if (!next.empty() && (next[0] == ' ' || next[0] == '\t')) {
                if (wanted)
                    joined.append(next.substr(1));
                soft_break = qp && next.back() == '=';
                *pos = peek;
            } else {
                break;
            }
        }

        out->value.clear();
        out->raw.clear();
        if (wanted) {
            std::string decoded = qp ? quoted_printable_decode(joined) : joined;
            decoded = to_utf8(std::move(decoded), param_value(params_upper, params, "CHARSET"));
            decoded = cut_at_line_end(std::move(decoded));
            out->raw = utf8_repair(decoded);
            out->value = utf8_repair(vcard_unescape(decoded));
        }
        return true;
    }
    return false;
}

}  // namespace vcard_detail

int reduce_phonebook_vcards(std::string_view data, Contact* rows, int capacity, int* count)
{
    int cards = 0;
    Contact work{};
    for_each_vcard_property(data, [&](const VcardProperty& p) {
        if (p.name == "BEGIN" && upper(p.value) == "VCARD") {
            ++cards;
        } else if (p.name == "FN" && p.has_value) {
            store_text(work.name, sizeof work.name, p.value);
        } else if (p.name == "N" && p.has_value && work.name[0] == '\0') {
            std::vector<std::string> parts = split_components(p.raw);
            // A structured name needs at least family and given name fields.
            if (parts.size() < 2)
                return;
            std::string family = vcard_unescape(parts[0]), given = vcard_unescape(parts[1]);
            std::string name = given;
            if (!given.empty() && !family.empty())
                name += ' ';
            name += family;
            store_text(work.name, sizeof work.name, name);
        } else if (p.name == "TEL" && p.has_value) {
            store_text(work.number, sizeof work.number, p.value);
        } else if (p.name == "END" && upper(p.value) == "VCARD") {
            if (work.name[0] != '\0' && work.number[0] != '\0' && *count < capacity)
                rows[(*count)++] = work;
            work = Contact{};
        }
    });
    return cards;
}

void call_time_from_value(std::string_view value, char* time, size_t time_size, char* sort_key, size_t key_size)
{
    std::string raw(value.substr(0, utf8_cut_len(value, 31)));
    copy_text(sort_key, key_size, std::string_view(raw).substr(0, utf8_cut_len(raw, 19)));
    if (raw.size() >= 15) {
        // 20240131T094500 -> 31.01.2024 09:45
        std::string shown = raw.substr(6, 2) + "." + raw.substr(4, 2) + "." + raw.substr(0, 4) + " " +
                            raw.substr(9, 2) + ":" + raw.substr(11, 2);
        store_text(time, time_size, utf8_repair(shown));
    } else if (!raw.empty()) {
        store_text(time, time_size, raw);
    }
}

int reduce_call_history_vcards(std::string_view data, const char* label, RecentEntry* rows, int capacity, int count)
{
    RecentEntry work{};
    for_each_vcard_property(data, [&](const VcardProperty& p) {
        if (p.name == "FN" && p.has_value) {
            store_text(work.name, sizeof work.name, p.value);
        } else if (p.name == "TEL" && p.has_value) {
            store_text(work.number, sizeof work.number, p.value);
        } else if (p.name == "X-IRMC-CALL-DATETIME" && p.has_value) {
            call_time_from_value(p.value, work.time, sizeof work.time, work.sort_key, sizeof work.sort_key);
        } else if (p.name == "END" && upper(p.value) == "VCARD") {
            if (work.number[0] != '\0' && count < capacity) {
                RecentEntry& row = rows[count++];
                row = work;
                copy_text(row.type, label);
                if (row.name[0] == '\0')
                    copy_text(row.name, "-");
                if (row.time[0] == '\0')
                    copy_text(row.time, "-");
            }
            work = RecentEntry{};
        }
    });
    return count;
}
