#include "phonedata/missed.h"

#include "core/phonebook_table.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>

namespace {

// "YYYYMMDDTHHMMSS" as local time, or null.
GDateTime* key_time(const char* key)
{
    if (std::strlen(key) < 15 || key[8] != 'T')
        return nullptr;
    for (int i = 0; i < 15; ++i)
        if (i != 8 && !g_ascii_isdigit(key[i]))
            return nullptr;
    auto field = [&](int at, int len) { return std::atoi(std::string(key + at, size_t(len)).c_str()); };
    return g_date_time_new_local(field(0, 4), field(4, 2), field(6, 2), field(9, 2), field(11, 2), field(13, 2));
}

}  // namespace

bool history_says_missed(const RecentEntry* rows, int count, const char* number, const std::string& now_key)
{
    std::string wanted = caller_key(number);
    if (wanted.size() < 4)
        return false;
    for (int i = 0; i < count; ++i) {
        if (caller_key(rows[i].number) != wanted)
            continue;
        if (std::strstr(rows[i].type, "Missed") == nullptr)
            return false;
        GDateTime* then = key_time(rows[i].sort_key);
        if (!then)
            return true;
        GDateTime* now = key_time(now_key.c_str());
        bool recent = now && std::llabs(g_date_time_difference(now, then)) <=
                                 gint64(kMissedClockSlackMinutes) * 60 * G_TIME_SPAN_SECOND;
        if (now)
            g_date_time_unref(now);
        g_date_time_unref(then);
        return recent;
    }
    return false;
}

std::string history_key_now()
{
    GDateTime* now = g_date_time_new_now_local();
    gchar* text = g_date_time_format(now, "%Y%m%dT%H%M%S");
    std::string key = text;
    g_free(text);
    g_date_time_unref(now);
    return key;
}
