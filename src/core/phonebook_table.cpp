#include "core/phonebook_table.h"

#include "core/text.h"

#include <glib.h>

#include <cstring>

std::string caller_key(const char* number)
{
    std::string digits;
    for (const char* p = number; p && *p; ++p)
        if (*p >= '0' && *p <= '9')
            digits += *p;
    if (digits.size() > 10)
        digits.erase(0, digits.size() - 10);
    return digits;
}

void PhonebookTable::prepare()
{
    lower_names.clear();
    lower_names.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        gchar* lower = g_utf8_strdown(rows[i].name, -1);
        lower_names.emplace_back(lower);
        g_free(lower);
    }
}

int search_contacts(const PhonebookTable& table, const char* query, Contact* out, int capacity)
{
    if (!query || std::strlen(query) < kMinSearchBytes)
        return 0;
    gchar* lower_query = g_utf8_strdown(query, -1);
    bool lowered = table.lower_names.size() == size_t(table.count);
    int n = 0;
    for (int i = 0; i < table.count && n < capacity; ++i) {
        bool match;
        if (lowered) {
            match = table.lower_names[size_t(i)].find(lower_query) != std::string::npos;
        } else {
            gchar* lower_name = g_utf8_strdown(table.rows[i].name, -1);
            match = std::strstr(lower_name, lower_query) != nullptr;
            g_free(lower_name);
        }
        if (match || std::strstr(table.rows[i].number, query))
            out[n++] = table.rows[i];
    }
    g_free(lower_query);
    return n;
}

bool name_for_exact_number(const PhonebookTable& table, const char* number, char* name_out, size_t name_size)
{
    if (!number || !*number)
        return false;
    for (int i = 0; i < table.count; ++i) {
        if (std::strcmp(table.rows[i].number, number) == 0) {
            copy_text(name_out, name_size, table.rows[i].name);
            return true;
        }
    }
    return false;
}

bool name_for_caller(const PhonebookTable& table, const char* number, char* name_out, size_t name_size)
{
    std::string key = caller_key(number);
    if (key.size() < 4)
        return false;
    for (int i = 0; i < table.count; ++i) {
        if (caller_key(table.rows[i].number) == key) {
            copy_text(name_out, name_size, table.rows[i].name);
            return true;
        }
    }
    return false;
}
