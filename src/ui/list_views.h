// The Recent Calls and Contacts lists: their rows, and the right-click menu
// that copies a row's number. Main loop only.
#pragma once
#include <gtk/gtk.h>

// Fill the lists from contacts[] and recent_entries[].
void refresh_contacts_view();
void refresh_recents_view();

gboolean on_contacts_button_press(GtkWidget* view, GdkEventButton* event, gpointer);
gboolean on_recents_button_press(GtkWidget* view, GdkEventButton* event, gpointer);
void on_copy_number_activate(GtkMenuItem* item, gpointer number);
