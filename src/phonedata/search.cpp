#include "phonedata/search.h"

#include "base/log.h"
#include "connection/state.h"
#include "base/changes.h"

#include <algorithm>
#include <cstring>

namespace {

// Main loop only: the entry's text as last changed.
std::string pending_search_query;

}  // namespace

const std::string& pending_search_text() { return pending_search_query; }

int search_contacts(const PhonebookTable& table, const char* query, Contact* out, int capacity)
{
    if (!query || std::strlen(query) < kMinSearchBytes)
        return 0;
    gchar* lower_query = g_utf8_strdown(query, -1);
    bool lowered = table.lower_names.size() == size_t(table.count);
    int n = 0;
    for (int i = 0; i < table.count && n < capacity; ++i) {
        bool match;
        if (lowered) {
            match = table.lower_names[size_t(i)].find(lower_query) != std::string::npos;
        } else {
            gchar* lower_name = g_utf8_strdown(table.rows[i].name, -1);
            match = std::strstr(lower_name, lower_query) != nullptr;
            g_free(lower_name);
        }
        if (match || std::strstr(table.rows[i].number, query))
            out[n++] = table.rows[i];
    }
    g_free(lower_query);
    return n;
}

void show_search_results()
{
    auto table = phonebook_snapshot();
    if (pending_search_query.size() < kMinSearchBytes) {
        contacts_count = std::min(table->count, kMaxShownContacts);
        std::memcpy(contacts, table->rows, sizeof(Contact) * size_t(contacts_count));
    } else {
        contacts_count = search_contacts(*table, pending_search_query.c_str(), contacts, kMaxShownContacts);
    }
    state_changed(Change::Contacts);
}

void search_phonebook(const char* text)
{
    pending_search_query = text ? text : "";
    // Nothing known yet: the phone, when it is there, is asked once; its
    // completion searches the text then in the entry.
    if (pending_search_query.size() >= kMinSearchBytes && phonebook_snapshot()->count == 0 &&
        !phonebook_loaded.load() && !syncing_contacts.load() && current_state.load() == CONNECTED) {
        syncing_contacts = 1;
        state_changed(Change::ContactsBusy, 1);
        log_msg("📥 Loading phonebook for first time…");
        start_phonebook_download();
    }
    show_search_results();
}
