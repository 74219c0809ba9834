// Contact search as the user types, and the two list views.
#pragma once
#include <gtk/gtk.h>

void on_contacts_search_changed(GtkSearchEntry* entry, gpointer);
void refresh_contacts_view();
void refresh_recents_view();
gboolean on_contacts_button_press(GtkWidget* view, GdkEventButton* event, gpointer);
gboolean on_recents_button_press(GtkWidget* view, GdkEventButton* event, gpointer);
