// The text of the two cache files: pure readers and writers.
// Fields are written between double quotes with an embedded double quote
// doubled, so every name round-trips; lines written without that doubling
// by older versions still load.
#pragma once
#include "core/records.h"

#include <cstddef>
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

// A cache is read (read_regular_file, app/files.h) at most this far.
inline constexpr size_t kMaxCacheBytes = 16u << 20;
