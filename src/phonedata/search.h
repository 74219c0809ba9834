// Contact search as the user types: matching, the pause after the last key,
// and the worker that searches the phonebook.
#pragma once
#include "phonedata/phonebook.h"

#include <gtk/gtk.h>

#include <string>

inline constexpr guint kSearchDebounceMs = 500;

void on_contacts_search_changed(GtkSearchEntry* entry, gpointer);
gboolean do_search_timeout(gpointer);
// Takes a g_malloc'ed copy of the query and frees it.
gpointer search_contacts_thread(gpointer query);
gboolean search_results_update_cb(gpointer result);

// The search entry's text as last changed ("" before the first change).
const std::string& pending_search_text();
// Starts "search_contacts" for query, marking syncing_contacts.
void start_search_thread(const std::string& query);

// Rows of table whose lower-cased name holds the lower-cased query, or whose
// number holds the query as typed; table order, at most capacity.
int search_contacts(const PhonebookTable& table, const char* query, Contact* out, int capacity);
