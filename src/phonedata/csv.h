// The two cache files: pure readers and writers, and an atomic file write.
// Fields are written between double quotes with an embedded double quote
// doubled, so every name round-trips; lines written without that doubling
// by older versions still load.
#pragma once
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"

#include <string>
#include <string_view>

inline constexpr const char* kContactsCsv = "contacts.csv";
inline constexpr const char* kRecentsCsv = "recents.csv";

std::string format_contacts_csv(const Contact* rows, int count);
std::string format_recents_csv(const RecentEntry* rows, int count);

// Skip the first line; return the rows read (at most capacity). A line
// that yields no row is skipped. The sort key of a recent call stays empty.
int parse_contacts_csv(std::string_view data, Contact* rows, int capacity);
int parse_recents_csv(std::string_view data, RecentEntry* rows, int capacity);

// Writes through a temporary file and a rename: the old file stays whole
// unless the new one was written completely. On failure *why (when given)
// says what went wrong.
bool write_file_atomically(const char* path, const std::string& content, std::string* why = nullptr);

// A cache is read only when a regular file is in its place, without ever
// blocking on a pipe, and at most this much of it.
inline constexpr size_t kMaxCacheBytes = 16u << 20;
// False with *why empty when there is no file; false with *why set when
// something is there that cannot be read.
bool read_cache_file(const char* path, std::string* out, std::string* why);
