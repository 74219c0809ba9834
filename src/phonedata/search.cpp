#include "phonedata/search.h"

#include "app/log.h"
#include "connection/state.h"
#include "ui/list_views.h"
#include "ui/window.h"

#include <cstring>

namespace {

std::string pending_search_query;
guint search_timeout_id = 0;

struct SearchResult {
    std::string query;
    Contact rows[kMaxShownContacts];
    int count = 0;
};

// Starts the search (or, with nothing loaded yet, the download it needs).
void begin_search(const std::string& query)
{
    syncing_contacts = 1;
    show_spinner(contacts_spinner, true);
    if (phonebook_loaded.load()) {
        start_search_thread(query);
    } else {
        log_msg("📥 Loading phonebook for first time...");
        start_phonebook_download();
    }
}

}  // namespace

const std::string& pending_search_text() { return pending_search_query; }

void start_search_thread(const std::string& query)
{
    syncing_contacts = 1;
    g_thread_unref(g_thread_new("search_contacts", search_contacts_thread, g_strdup(query.c_str())));
}

int search_contacts(const PhonebookTable& table, const char* query, Contact* out, int capacity)
{
    if (!query || std::strlen(query) < 2)
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

void on_contacts_search_changed(GtkSearchEntry* entry, gpointer)
{
    pending_search_query = entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "";
    if (search_timeout_id != 0)
        g_source_remove(search_timeout_id);
    search_timeout_id = g_timeout_add(kSearchDebounceMs, do_search_timeout, nullptr);
}

gboolean do_search_timeout(gpointer)
{
    search_timeout_id = 0;
    if (pending_search_query.size() >= 2) {
        if (syncing_contacts.load() || current_state.load() != CONNECTED)
            return G_SOURCE_REMOVE;
        begin_search(pending_search_query);
    } else {
        contacts_count = 0;
        refresh_contacts_view();
    }
    return G_SOURCE_REMOVE;
}

gpointer search_contacts_thread(gpointer query)
{
    auto* result = new SearchResult;
    result->query = static_cast<const char*>(query);
    g_free(query);
    auto table = phonebook_snapshot();
    if (phonebook_loaded.load())
        result->count = search_contacts(*table, result->query.c_str(), result->rows, kMaxShownContacts);
    g_idle_add(search_results_update_cb, result);
    return nullptr;
}

gboolean search_results_update_cb(gpointer data)
{
    auto* result = static_cast<SearchResult*>(data);
    syncing_contacts = 0;
    show_spinner(contacts_spinner, false);
    if (result->query != pending_search_query) {
        // The text changed while this search ran: its results are stale, and
        // the text now in the entry deserves a search of its own.
        delete result;
        if (pending_search_query.size() >= 2 && current_state.load() == CONNECTED)
            begin_search(pending_search_query);
        return G_SOURCE_REMOVE;
    }
    contacts_count = result->count;
    std::memcpy(contacts, result->rows, sizeof(Contact) * size_t(result->count));
    delete result;
    refresh_contacts_view();
    return G_SOURCE_REMOVE;
}
