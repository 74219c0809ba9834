// A whole phonebook and the questions asked of it: search as the user
// types, and the name for a number.
#pragma once
#include "core/records.h"

#include <cstddef>
#include <string>
#include <vector>

// Filled by one party, then shared read-only: a new download fills a fresh
// table and swaps it in, so readers on any thread never see a half-filled one.
struct PhonebookTable {
    Contact rows[kMaxContacts];
    int count = 0;
    std::vector<std::string> lower_names;   // g_utf8_strdown of each name, for search
    // A download that brought no contacts while some were known: the known
    // ones stay (a phone that does not share its contacts answers this way).
    bool keeps_known = false;
    void prepare();                         // computes lower_names
};

// Queries shorter than this show the whole list.
inline constexpr size_t kMinSearchBytes = 2;

// Rows of table whose lower-cased name holds the lower-cased query, or whose
// number holds the query as typed; table order, at most capacity.
int search_contacts(const PhonebookTable& table, const char* query, Contact* out, int capacity);

// Digits of a number, then its last ten: "+49 170 1234567" and
// "01701234567" meet at "1701234567".
std::string caller_key(const char* number);

// Name of the first contact whose number equals number byte for byte (dialled numbers).
bool name_for_exact_number(const PhonebookTable& table, const char* number, char* name_out, size_t name_size);
// Name of the first contact whose number matches a caller's number (digits only, last 10).
bool name_for_caller(const PhonebookTable& table, const char* number, char* name_out, size_t name_size);
