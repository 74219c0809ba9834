#include "phonedata/search.h"

#include "app/log.h"
#include "app/text.h"
#include "connection/state.h"
#include "phonedata/recents.h"
#include "ui/window.h"

#include <cstring>

namespace {

std::string pending_search_query;
guint search_timeout_id = 0;
char contacts_copied_number[64] = "";
char recents_copied_number[64] = "";

struct SearchResult {
    std::string query;
    Contact rows[kMaxShownContacts];
    int count = 0;
};

void show_contacts_spinner(bool on)
{
    if (!contacts_spinner)
        return;
    if (on) {
        gtk_spinner_start(GTK_SPINNER(contacts_spinner));
        gtk_widget_show(contacts_spinner);
    } else {
        gtk_spinner_stop(GTK_SPINNER(contacts_spinner));
        gtk_widget_hide(contacts_spinner);
    }
}

// Starts the search (or, with nothing loaded yet, the download it needs).
void begin_search(const std::string& query)
{
    syncing_contacts = 1;
    show_contacts_spinner(true);
    if (phonebook_loaded.load()) {
        g_thread_unref(g_thread_new("search_contacts", search_contacts_thread, g_strdup(query.c_str())));
    } else {
        log_msg("📥 Loading phonebook for first time...");
        start_phonebook_download();
    }
}

// The menu shell deactivates a menu before it activates the chosen item, so
// destroying the menu on "deactivate" would drop the item's handler unrun.
void release_menu_later(GtkMenuShell* menu, gpointer)
{
    g_idle_add(
        [](gpointer widget) -> gboolean {
            gtk_widget_destroy(GTK_WIDGET(widget));
            g_object_unref(widget);
            return G_SOURCE_REMOVE;
        },
        g_object_ref(menu));
}

gboolean on_list_button_press(GtkWidget* view, GdkEventButton* event, int number_column, char* buffer,
                              size_t buffer_size)
{
    if (!event || event->type != GDK_BUTTON_PRESS || event->button != 3)
        return FALSE;
    GtkTreePath* path = nullptr;
    if (!gtk_tree_view_get_path_at_pos(GTK_TREE_VIEW(view), int(event->x), int(event->y), &path, nullptr, nullptr,
                                       nullptr))
        return TRUE;
    GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    gtk_tree_selection_select_path(selection, path);
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    GtkTreeIter iter;
    gchar* number = nullptr;
    if (model && gtk_tree_model_get_iter(model, &iter, path))
        gtk_tree_model_get(model, &iter, number_column, &number, -1);
    gtk_tree_path_free(path);
    if (number && number[0] != '\0') {
        copy_text(buffer, buffer_size, number);
        GtkWidget* menu = gtk_menu_new();
        GtkWidget* item = gtk_menu_item_new_with_label("📋 Copy Number");
        g_signal_connect(item, "activate", G_CALLBACK(on_copy_number_activate), buffer);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
        g_signal_connect(menu, "deactivate", G_CALLBACK(release_menu_later), nullptr);
        gtk_widget_show_all(menu);
        gtk_menu_popup_at_pointer(GTK_MENU(menu), reinterpret_cast<GdkEvent*>(event));
    }
    g_free(number);
    return TRUE;
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
    show_contacts_spinner(false);
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

void refresh_contacts_view()
{
    if (!contacts_store)
        return;
    gtk_list_store_clear(contacts_store);
    for (int i = 0; i < contacts_count; ++i)
        gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, contacts[i].name, 1, contacts[i].number, -1);
}

void refresh_recents_view()
{
    if (!recent_store)
        return;
    gtk_list_store_clear(recent_store);
    for (int i = 0; i < recent_count; ++i) {
        const RecentEntry& r = recent_entries[i];
        gtk_list_store_insert_with_values(recent_store, nullptr, -1, 0, r.type, 1, r.name, 2, r.number, 3, r.time,
                                          -1);
    }
}

gboolean on_contacts_button_press(GtkWidget* view, GdkEventButton* event, gpointer)
{
    return on_list_button_press(view, event, 1, contacts_copied_number, sizeof contacts_copied_number);
}

gboolean on_recents_button_press(GtkWidget* view, GdkEventButton* event, gpointer)
{
    return on_list_button_press(view, event, 2, recents_copied_number, sizeof recents_copied_number);
}

void on_copy_number_activate(GtkMenuItem*, gpointer number)
{
    const char* text = static_cast<const char*>(number);
    if (!text || text[0] == '\0')
        return;
    gtk_clipboard_set_text(gtk_clipboard_get_for_display(gdk_display_get_default(), GDK_SELECTION_CLIPBOARD), text,
                           -1);
    log_msg("📋 Number copied");
}
