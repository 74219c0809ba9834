// Pure helpers for the caller's identity and the numbers we send to the phone.
#pragma once
#include <string>
#include <string_view>

// A "+CLIP:" line: <"number">,<type>[,<subaddr>,<satype>[,<"alpha">[,<validity>]]].
// Fields are split on commas outside quotes, so a name holding a comma
// survives. False when the line has no quoted number; name is empty when the
// phone sent none.
struct CallerLine {
    std::string number;
    std::string name;
};
bool parse_clip_line(std::string_view line, CallerLine* out);
// A waiting caller: +CCWA: <"number">,<type>,<class>[,<"alpha">]; the name is field 4.
bool parse_ccwa_line(std::string_view line, CallerLine* out);

// A number may go into "ATD%s;" only when it cannot end the command early or
// smuggle another one in: no control characters and no ';'.
bool number_is_dialable(std::string_view number);

// What goes after ATD: phones refuse anything outside their dial set, so a
// number as people write it ("+1 (408) 555-0142") is reduced to a leading
// '+', digits, '*', '#' and the pauses ',', 'p', 'w'. "" when nothing is left.
std::string dial_string(std::string_view number);
