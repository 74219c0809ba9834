#include "ui/list_views.h"

#include "store/phone_data.h"

#include "base/events.h"
#include "base/log.h"
#include "core/text.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "ui/window.h"

namespace {

// The number a right click chose, for the menu item's handler; main loop only.
char contacts_copied_number[64] = "";
char recents_copied_number[64] = "";

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

void on_contacts_search_changed(GtkSearchEntry* entry, gpointer)
{
    const char* text = entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : nullptr;
    deliver_event(SearchTyped{text ? text : ""});
}

void on_refresh_phonebook_clicked(GtkButton*, gpointer) { deliver_event(PhonebookRefreshAsked{}); }

void on_sync_recents_clicked(GtkButton*, gpointer) { deliver_event(RecentsSyncAsked{}); }
