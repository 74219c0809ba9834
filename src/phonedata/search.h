// Contact search as the user types, over the contacts known (downloaded or
// cached): cheap enough to run on the main loop at every change.
#pragma once
#include "phonedata/phonebook.h"

#include <string>

// Queries shorter than this show the whole list.
inline constexpr size_t kMinSearchBytes = 2;

// The search text changed (null is empty): the Contacts list shows its
// matches. Main loop.
void search_phonebook(const char* text);
// Fills the Contacts list from the known contacts for the current text: the
// whole list (first kMaxShownContacts) or the matches. Main loop.
void show_search_results();

// The search entry's text as last changed ("" before the first change).
const std::string& pending_search_text();

// Rows of table whose lower-cased name holds the lower-cased query, or whose
// number holds the query as typed; table order, at most capacity.
int search_contacts(const PhonebookTable& table, const char* query, Contact* out, int capacity);
