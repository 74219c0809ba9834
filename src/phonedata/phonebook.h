// The phone's contacts: download, cache, and name lookup for calls.
#pragma once
#include "core/records.h"

#include <glib.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

inline constexpr int kMaxShownContacts = 200;

// A whole phonebook. Filled by one party, then shared read-only: a new
// download fills a fresh table and swaps it in on the main loop, so readers
// on any thread never see a half-filled one.
struct PhonebookTable {
    Contact rows[kMaxContacts];
    int count = 0;
    std::vector<std::string> lower_names;   // g_utf8_strdown of each name, for search
    // A download that brought no contacts while some were known: the known
    // ones stay (a phone that does not share its contacts answers this way).
    bool keeps_known = false;
    void prepare();                         // computes lower_names
};
std::shared_ptr<const PhonebookTable> phonebook_snapshot();   // any thread
void phonebook_install(std::shared_ptr<PhonebookTable> table);  // main loop

// The rows shown in the Contacts list (main loop only).
extern Contact contacts[kMaxShownContacts];
extern int contacts_count;

// Written on the main loop (set as a download or search starts, settled
// by its completion callback); atomic, so a worker may read them.
extern std::atomic<int> phonebook_loaded;
extern std::atomic<int> syncing_contacts;

void load_contacts_csv();
void save_contacts_csv();
gpointer load_phonebook_thread(gpointer);
gboolean phonebook_load_complete_cb(gpointer result);
// Main loop: a new download of the phonebook, the known contacts kept
// until it has fully arrived (Refresh).
void refresh_phonebook();
// Writes the table to contacts.csv atomically; false when it could not.
bool save_contacts_table(const PhonebookTable& table, const char* path);
// Starts the one-time download on entering CONNECTED (sets syncing_contacts).
void start_phonebook_preload();
// Starts the download thread "load_phonebook"; the caller has set syncing_contacts.
void start_phonebook_download();

// Name of the first contact whose number equals number byte for byte (dialled numbers).
bool phonebook_name_exact(const char* number, char* name_out, size_t name_size);
// Name of the first contact whose number matches a caller's number (digits only, last 10).
bool phonebook_name_for_caller(const char* number, char* name_out, size_t name_size);
