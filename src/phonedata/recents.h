// The phone's call history: download, cache and the Recent Calls list.
#pragma once
#include "core/records.h"

#include <glib.h>

#include <atomic>

inline constexpr int kKeptRecents = 100;

// Main loop only: a sync fills a table of its own and hands it over whole.
extern RecentEntry recent_entries[kMaxRecents];
extern int recent_count;
// Written on the main loop (set as a sync starts, cleared by its result); atomic.
extern std::atomic<int> syncing_recents;

// Later calls first (byte order of the sort keys, reversed).
int compare_recents(const void* a, const void* b);
// Sorts newest first (records with equal keys keep their order) and keeps kKeptRecents.
int sort_and_cut_recents(RecentEntry* rows, int count);

void load_recents_csv();
void save_recents_csv();
gpointer sync_recents_thread(gpointer);
// Main loop: the call history read again from the phone (Sync).
void sync_recents();
gboolean recents_sync_start_cb(gpointer);
gboolean recents_sync_complete_cb(gpointer result);
// Starts sync_recents_thread under name; one sync at a time, so the flag
// is set here rather than when the thread's start callback runs.
void start_recents_sync(const char* thread_name);
