#include "hfp/caller_line.h"

#include <vector>

namespace {

std::vector<std::string_view> split_fields(std::string_view text)
{
    std::vector<std::string_view> fields;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        else if (text[i] == ',' && !quoted) {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// The text between a field's quotes; false when the field is not quoted.
bool unquote(std::string_view field, std::string* out)
{
    field = trim(field);
    if (field.size() < 2 || field.front() != '"')
        return false;
    size_t close = field.find('"', 1);
    if (close == std::string_view::npos)
        return false;
    *out = std::string(field.substr(1, close - 1));
    return true;
}

// "+CLIP:" and "+CCWA:" both start with the quoted number; only the field
// that carries the phonebook name differs.
bool parse_caller_fields(std::string_view line, std::string_view prefix, size_t name_field, CallerLine* out)
{
    size_t at = line.find(prefix);
    if (at == std::string_view::npos)
        return false;
    std::vector<std::string_view> fields = split_fields(line.substr(at + prefix.size()));
    CallerLine caller;
    if (!unquote(fields[0], &caller.number))
        return false;
    if (fields.size() > name_field)
        unquote(fields[name_field], &caller.name);
    *out = std::move(caller);
    return true;
}

}  // namespace

bool parse_clip_line(std::string_view line, CallerLine* out)
{
    return parse_caller_fields(line, "+CLIP:", 4, out);
}

bool parse_ccwa_line(std::string_view line, CallerLine* out)
{
    return parse_caller_fields(line, "+CCWA:", 3, out);
}

bool number_is_dialable(std::string_view number)
{
    for (unsigned char c : number)
        if (c < 0x20 || c == 0x7f || c == ';')
            return false;
    return true;
}
