// The phone's contacts and call history as the window shows them, and the
// commands that read them again from the phone. Main loop only, except the
// atomic flags, which workers may read.
#pragma once
#include "base/events.h"
#include "core/records.h"

#include <atomic>
#include <string>

inline constexpr int kMaxShownContacts = 200;

// The rows shown in the Contacts list: written by load_contacts_csv and show_search_results.
extern Contact contacts[kMaxShownContacts];
extern int contacts_count;
// Set once contacts are known: the cache read, or a PhonebookRead.
extern std::atomic<int> phonebook_loaded;
// Set as a download starts, cleared by its PhonebookRead.
extern std::atomic<int> syncing_contacts;
// The Recent Calls list: written by load_recents_csv and a RecentsRead.
extern RecentEntry recent_entries[kMaxRecents];
extern int recent_count;
// Set as a sync starts (or a worker's RecentsSyncStarted), cleared by its RecentsRead.
extern std::atomic<int> syncing_recents;

void load_contacts_csv();
void save_contacts_csv();
void load_recents_csv();
void save_recents_csv();

// A new download of the phonebook, the known contacts kept until it has
// fully arrived (Refresh).
void refresh_phonebook();
// The one-time download on entering CONNECTED.
void start_phonebook_preload();
// The call history read again from the phone (Sync).
void sync_recents();
// One sync at a time, so the flag is set here rather than when the thread starts.
void start_recents_sync(const char* thread_name);

// The search text changed (null is empty): the Contacts list shows its matches.
void search_phonebook(const char* text);
// Fills the Contacts list from the known contacts for the current text.
void show_search_results();
// The search entry's text as last changed ("" before the first change).
const std::string& pending_search_text();

// Empty lists, no search text, nothing under way (the program's reset).
void reset_phone_data();

// Cases of apply.
void apply_phone_connected(const PhoneConnected& event);
void apply_contacts_progress(const ContactsProgress& event);
void apply_phonebook_read(const PhonebookRead& event);
void apply_recents_sync_started(const RecentsSyncStarted& event);
void apply_recents_read(const RecentsRead& event);
