// The window's ways to place a call: the Call button, and a double click
// on a contact or a call in the lists.
#pragma once
#include <gtk/gtk.h>

void on_dial_call_clicked(GtkButton* button, gpointer entry);
void on_contact_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
void on_recent_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
