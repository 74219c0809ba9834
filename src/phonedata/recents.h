// The phone's call history over PBAP, and its cache file.
#pragma once
#include "core/records.h"

#include <string>

inline constexpr int kKeptRecents = 100;

// Later calls first (byte order of the sort keys, reversed).
int compare_recents(const void* a, const void* b);
// Sorts newest first (records with equal keys keep their order) and keeps kKeptRecents.
int sort_and_cut_recents(RecentEntry* rows, int count);

// recents.csv into rows; the number of records read.
int read_recents_cache(RecentEntry* rows, int capacity);
void save_recents_cache(const RecentEntry* rows, int count);

// Starts thread_name reading the call history of the phone at address. It
// posts RecentsSyncStarted as it starts and RecentsRead at the end.
void start_history_read(const char* thread_name, const std::string& address);
