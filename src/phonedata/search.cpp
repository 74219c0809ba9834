#include "phonedata/search.h"

void on_contacts_search_changed(GtkSearchEntry*, gpointer) {}
void refresh_contacts_view() {}
void refresh_recents_view() {}
gboolean on_contacts_button_press(GtkWidget*, GdkEventButton*, gpointer) { return FALSE; }
gboolean on_recents_button_press(GtkWidget*, GdkEventButton*, gpointer) { return FALSE; }
