#include "core/caller_line.h"

#include "core/at_result.h"

namespace {

// "+CLIP:" and "+CCWA:" both start with the quoted number; only the field
// that carries the phonebook name differs.
bool parse_caller_fields(std::string_view line, std::string_view prefix, int name_field, CallerLine* out)
{
    AtResult r(line);
    CallerLine caller;
    if (!r.prefix(prefix, true) || !r.quoted(&caller.number))
        return false;
    bool there = true;
    for (int i = 0; i < name_field && there; ++i)
        there = r.skip_field();
    if (there)
        r.quoted(&caller.name);
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

std::string dial_string(std::string_view number)
{
    std::string out;
    for (char c : number) {
        char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || c == ',')
            out += c;
        else if (lower == 'p' || lower == 'w')
            out += lower;
        else if (c == '+' && out.empty())
            out += c;
    }
    // Pauses alone dial nothing.
    return out.find_first_of("0123456789*#") == std::string::npos ? std::string() : out;
}
