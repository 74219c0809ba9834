// The phone's phonebook over PBAP, its cache file, and the table every
// thread reads names from.
#pragma once
#include "core/phonebook_table.h"

#include <cstddef>
#include <memory>
#include <string>

std::shared_ptr<const PhonebookTable> phonebook_snapshot();      // any thread
void phonebook_install(std::shared_ptr<PhonebookTable> table);    // main loop: the store

// contacts.csv as a table; null when it holds no contacts.
std::shared_ptr<PhonebookTable> read_contacts_cache();
// Writes the table to contacts.csv atomically; false when it could not.
bool save_contacts_table(const PhonebookTable& table, const char* path);

// Starts thread_name reading the phonebook of the phone at address. It posts
// ContactsProgress as cards arrive and PhonebookRead at the end; a new table
// is saved to contacts.csv before it is posted.
void start_phonebook_download(const char* thread_name, const std::string& address);

// Name of the first contact whose number equals number byte for byte (dialled numbers).
bool phonebook_name_exact(const char* number, char* name_out, size_t name_size);
// Name of the first contact whose number matches a caller's number (digits only, last 10).
bool phonebook_name_for_caller(const char* number, char* name_out, size_t name_size);
