#include "core/tel_uri.h"

#include <glib.h>

#include <cstring>
#include <string_view>

namespace {

int hex_value(char c)
{
    return g_ascii_isxdigit(c) ? g_ascii_xdigit_value(c) : -1;
}

// Parameter values are only shown: keep what a number or a code may hold.
std::string shown_value(std::string_view value)
{
    std::string out;
    for (char c : value)
        if (out.size() < 32 && (g_ascii_isalnum(c) || std::strchr("*#+-.()", c)))
            out += c;
    return out;
}

TelLink refuse(TelLink link, const char* problem)
{
    link.ok = false;
    link.number.clear();
    link.problem = problem;
    return link;
}

}  // namespace

TelLink parse_tel_link(const char* arg)
{
    TelLink link;
    // URI schemes are case-insensitive (RFC 3986): TEL: and Tel: too.
    if (!arg || g_ascii_strncasecmp(arg, "tel:", 4) != 0)
        return link;
    link.recognised = true;
    std::string_view rest(arg + 4);
    if (rest.substr(0, 2) == "//")
        rest.remove_prefix(2);

    std::string decoded;
    for (size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == '%') {
            bool whole = i + 2 < rest.size();
            int hi = whole ? hex_value(rest[i + 1]) : -1;
            int lo = whole ? hex_value(rest[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return refuse(link, "a broken %-escape");
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return refuse(link, "control characters in the link");
        decoded += c;
    }

    std::string_view all(decoded);
    size_t semi = all.find(';');
    std::string_view number = all.substr(0, semi);
    std::string_view params = semi == std::string_view::npos ? std::string_view() : all.substr(semi + 1);
    while (!params.empty()) {
        size_t end = params.find(';');
        std::string_view param = params.substr(0, end);
        params = end == std::string_view::npos ? std::string_view() : params.substr(end + 1);
        size_t eq = param.find('=');
        std::string name(param.substr(0, eq));
        std::string_view value = eq == std::string_view::npos ? std::string_view() : param.substr(eq + 1);
        if (g_ascii_strcasecmp(name.c_str(), "ext") == 0)
            link.extension = shown_value(value);
        else if (g_ascii_strcasecmp(name.c_str(), "isub") == 0)
            link.subaddress = shown_value(value);
    }

    bool has_digit = false;
    for (char c : number) {
        if (std::strchr("-. ()", c))
            continue;
        if (c == '+' && link.number.empty()) {
            link.number += c;
        } else if (g_ascii_isdigit(c) || c == '*' || c == '#') {
            link.number += c;
            has_digit = has_digit || g_ascii_isdigit(c);
        } else if (c == '+') {
            return refuse(link, "a '+' inside the number");
        } else {
            return refuse(link, "characters a phone cannot dial (only digits, '*', '#' and a leading '+')");
        }
    }
    if (!has_digit)
        return refuse(link, "no number in the link");
    if (link.number.size() > kMaxLinkNumber)
        return refuse(link, "a number longer than 63 characters");
    link.ok = true;
    return link;
}
