// Bodies of the fuzz targets for the files the program reads (phone data and
// settings), shared by the libFuzzer programs and the ordinary test that
// replays their corpus. Each returns false when an invariant broke: every
// text valid UTF-8 within its field, no row beyond the table, a file written
// from what was read reads back the same, and chunking never matters.
#pragma once
#include "phonedata/csv.h"
#include "phonedata/vcard.h"
#include "ui/settings_file.h"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace phonedata_fuzz {

inline bool valid_text(const char* text, size_t size)
{
    size_t len = strnlen(text, size);
    return len < size && g_utf8_validate(text, gssize(len), nullptr);
}

inline bool vcard(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rows = std::make_unique<Contact[]>(64);
    int count = 0;
    reduce_phonebook_vcards(bytes, rows.get(), 64, &count);
    if (count < 0 || count > 64)
        return false;
    for (int i = 0; i < count; ++i)
        if (!valid_text(rows[i].name, sizeof rows[i].name) || !valid_text(rows[i].number, sizeof rows[i].number) ||
            !rows[i].name[0] || !rows[i].number[0])
            return false;
    auto records = std::make_unique<RecentEntry[]>(64);
    int n = reduce_call_history_vcards(bytes, "📥 Incoming", records.get(), 64, 0);
    if (n < 0 || n > 64)
        return false;
    for (int i = 0; i < n; ++i) {
        const RecentEntry& r = records[i];
        if (!valid_text(r.type, sizeof r.type) || !valid_text(r.name, sizeof r.name) ||
            !valid_text(r.number, sizeof r.number) || !valid_text(r.time, sizeof r.time) ||
            !valid_text(r.sort_key, sizeof r.sort_key) || !r.number[0])
            return false;
    }
    return true;
}

inline bool contacts_csv(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rows = std::make_unique<Contact[]>(64);
    int count = parse_contacts_csv(bytes, rows.get(), 64);
    if (count < 0 || count > 64)
        return false;
    for (int i = 0; i < count; ++i)
        if (!valid_text(rows[i].name, sizeof rows[i].name) || !valid_text(rows[i].number, sizeof rows[i].number))
            return false;
    std::string first = format_contacts_csv(rows.get(), count);
    auto again = std::make_unique<Contact[]>(64);
    int count2 = parse_contacts_csv(first, again.get(), 64);
    return count2 == count && format_contacts_csv(again.get(), count2) == first;
}

inline bool recents_csv(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto rows = std::make_unique<RecentEntry[]>(64);
    int count = parse_recents_csv(bytes, rows.get(), 64);
    if (count < 0 || count > 64)
        return false;
    for (int i = 0; i < count; ++i) {
        const RecentEntry& r = rows[i];
        if (!valid_text(r.type, 16) || !valid_text(r.name, sizeof r.name) || !valid_text(r.number, sizeof r.number) ||
            !valid_text(r.time, sizeof r.time))
            return false;
    }
    std::string first = format_recents_csv(rows.get(), count);
    auto again = std::make_unique<RecentEntry[]>(64);
    int count2 = parse_recents_csv(first, again.get(), 64);
    return count2 == count && format_recents_csv(again.get(), count2) == first;
}

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

}  // namespace phonedata_fuzz
