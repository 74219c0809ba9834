// vCard 2.1 reduction as phones send it through PBAP: pure functions over
// the bytes of a file, so they can be tested and fuzzed alone.
#pragma once
#include "core/records.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One property of a card, with its continuation lines joined and its value
// decoded (quoted-printable, character set, escapes) into valid UTF-8.
struct VcardProperty {
    std::string name;    // upper case, group prefix ("item1.") removed
    std::string value;   // decoded, cut at its first CR or LF
    std::string raw;     // undecoded value (escapes kept), for structured values
    std::vector<std::string> types;   // upper case: bare parameters, TYPE values, PREF
    bool has_value = false;   // the line had a ":"
    bool has_type(const char* type) const;
};

// Calls fn(property) for every logical line of data.
template <typename Fn>
void for_each_vcard_property(std::string_view data, Fn&& fn);

// Phonebook: appends one row per card with a name and a number to rows
// (up to capacity; *count is the number in use). Returns the cards seen.
int reduce_phonebook_vcards(std::string_view data, Contact* rows, int capacity, int* count);

// Call history: appends one record per card with a number, labelled with the
// list's label, up to capacity. Returns the new count.
int reduce_call_history_vcards(std::string_view data, const char* label, RecentEntry* rows, int capacity, int count);

// Display time and sort key of an X-IRMC-CALL-DATETIME value.
void call_time_from_value(std::string_view value, char* time, size_t time_size, char* sort_key,
                          size_t key_size);

// Text without a declared character set: kept when it is valid UTF-8, else
// read as Windows-1252 (what phones that write raw 8-bit text use).
std::string undeclared_text_to_utf8(std::string_view text);

// Decoders, exposed for tests.
std::string quoted_printable_decode(std::string_view text);
std::string vcard_unescape(std::string_view text);

namespace vcard_detail {
bool next_property(std::string_view data, size_t* pos, VcardProperty* out);
}

template <typename Fn>
void for_each_vcard_property(std::string_view data, Fn&& fn)
{
    size_t pos = 0;
    VcardProperty prop;
    while (vcard_detail::next_property(data, &pos, &prop))
        fn(prop);
}
