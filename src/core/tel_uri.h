// A "tel:" link (RFC 3966) reduced to the number a phone may dial.
#pragma once
#include <string>

inline constexpr size_t kMaxLinkNumber = 63;

struct TelLink {
    bool recognised = false;   // the argument starts with "tel:"
    bool ok = false;           // number holds something a phone may dial
    std::string number;        // digits, '*', '#' and at most a leading '+'
    std::string extension;     // ";ext=": shown, never dialled
    std::string subaddress;    // ";isub=": shown, never dialled
    std::string problem;       // why the link is refused
};

// Percent escapes are decoded first; the number is what stands before the
// first ';', without its visual separators; parameters never reach it.
TelLink parse_tel_link(const char* arg);
