#include "core/vcard.h"

#include "core/text.h"

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

struct Param {
    std::string key;                   // upper case; "" for a bare parameter
    std::vector<std::string> values;   // unquoted
};

// Splits text at sep where it is not inside double quotes.
std::vector<std::string_view> split_unquoted(std::string_view text, char sep)
{
    std::vector<std::string_view> out;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        else if (text[i] == sep && !quoted) {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(text.substr(start));
    return out;
}

std::string unquote(std::string_view v)
{
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

std::vector<Param> parse_params(std::string_view params)
{
    std::vector<Param> out;
    if (params.empty())
        return out;
    for (std::string_view piece : split_unquoted(params, ';')) {
        Param param;
        auto eq = split_unquoted(piece, '=');
        std::string_view values = piece;
        if (eq.size() > 1) {
            param.key = upper(eq[0]);
            values = piece.substr(eq[0].size() + 1);
        }
        for (std::string_view v : split_unquoted(values, ','))
            param.values.push_back(unquote(v));
        out.push_back(std::move(param));
    }
    return out;
}

// The ":" that ends the name and parameters. A quoted parameter value may
// hold a ":" of its own (TEL;TYPE="A:B":1).
size_t value_colon(std::string_view line)
{
    bool in_params = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ':' && !quoted)
            return i;
        if (c == ';' && !quoted)
            in_params = true;
        else if (c == '"' && in_params)
            quoted = !quoted;
    }
    // An unbalanced quote: read the line as if there were no quoting.
    return line.find(':');
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
    if (charset.empty())
        return undeclared_text_to_utf8(text);
    if (g_ascii_strcasecmp(charset.c_str(), "UTF-8") != 0 && g_ascii_strcasecmp(charset.c_str(), "UTF8") != 0) {
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

bool is_fax_or_pager(const VcardProperty& p) { return p.has_type("FAX") || p.has_type("PAGER"); }

// "Given Family" from a structured name, or "" when it has no ";" at all.
std::string structured_name(const std::string& raw)
{
    std::vector<std::string> parts = split_components(raw);
    if (parts.size() < 2)
        return "";
    std::string family = vcard_unescape(parts[0]), given = vcard_unescape(parts[1]);
    std::string name = given;
    if (!given.empty() && !family.empty())
        name += ' ';
    return name + family;
}

void store_text(char* dst, size_t size, const std::string& text) { copy_text(dst, size, std::string_view(text)); }

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

std::string undeclared_text_to_utf8(std::string_view text)
{
    if (g_utf8_validate(text.data(), gssize(text.size()), nullptr))
        return std::string(text);
    // 0x80 to 0x9F of Windows-1252; the rest of the upper half is Latin-1.
    static const gunichar k80[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                     0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size() * 2);
    for (unsigned char c : text) {
        gunichar u = c >= 0x80 && c < 0xA0 ? k80[c - 0x80] : gunichar(c);
        char buf[6];
        out.append(buf, size_t(g_unichar_to_utf8(u, buf)));
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
        size_t colon = value_colon(line);
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
        bool qp = false;
        std::string charset;
        out->types.clear();
        for (const Param& param : parse_params(params)) {
            for (const std::string& v : param.values) {
                std::string value = upper(v);
                if (param.key == "CHARSET")
                    charset = v;
                else if (value == "QUOTED-PRINTABLE" && (param.key.empty() || param.key == "ENCODING"))
                    qp = true;
                else if (param.key.empty() || param.key == "TYPE")
                    out->types.push_back(value);
            }
            if (param.key == "PREF")
                out->types.push_back("PREF");
        }
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
            decoded = to_utf8(std::move(decoded), charset);
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
    // A contact's number: the first marked PREF, else the first mobile, else
    // the last; fax and pager numbers are never dialled.
    std::string pref, cell, last;
    for_each_vcard_property(data, [&](const VcardProperty& p) {
        if (p.name == "BEGIN" && upper(p.value) == "VCARD") {
            ++cards;
        } else if (p.name == "FN" && p.has_value) {
            store_text(work.name, sizeof work.name, p.value);
        } else if (p.name == "N" && p.has_value && work.name[0] == '\0') {
            store_text(work.name, sizeof work.name, structured_name(p.raw));
        } else if (p.name == "TEL" && p.has_value && !p.value.empty() && !is_fax_or_pager(p)) {
            if (pref.empty() && p.has_type("PREF"))
                pref = p.value;
            if (cell.empty() && p.has_type("CELL"))
                cell = p.value;
            last = p.value;
        } else if (p.name == "END" && upper(p.value) == "VCARD") {
            store_text(work.number, sizeof work.number, !pref.empty() ? pref : !cell.empty() ? cell : last);
            if (work.name[0] != '\0' && work.number[0] != '\0' && *count < capacity)
                rows[(*count)++] = work;
            work = Contact{};
            pref.clear();
            cell.clear();
            last.clear();
        }
    });
    return cards;
}

bool VcardProperty::has_type(const char* type) const
{
    return std::find(types.begin(), types.end(), type) != types.end();
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
        } else if (p.name == "N" && p.has_value && work.name[0] == '\0') {
            // vCard 2.1 history cards may carry N alone.
            store_text(work.name, sizeof work.name, structured_name(p.raw));
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
