// The Recent Calls and Contacts lists: their rows, and the right-click menu
// that copies a row's number. Main loop only.
#pragma once
#include <gtk/gtk.h>

// Fill the lists from contacts[] and recent_entries[].
void refresh_contacts_view();
void refresh_recents_view();

void on_refresh_phonebook_clicked(GtkButton*, gpointer);
void on_sync_recents_clicked(GtkButton*, gpointer);
// "changed" of the search entry; null entry means empty text.
void on_contacts_search_changed(GtkSearchEntry* entry, gpointer);

gboolean on_contacts_button_press(GtkWidget* view, GdkEventButton* event, gpointer);
gboolean on_recents_button_press(GtkWidget* view, GdkEventButton* event, gpointer);
void on_copy_number_activate(GtkMenuItem* item, gpointer number);
