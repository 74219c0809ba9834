// Placing a call: the one entry point for every outgoing call.
#pragma once
#include <gtk/gtk.h>

void dial_number(const char* number);
void on_dial_call_clicked(GtkButton* button, gpointer entry);
void on_contact_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
void on_recent_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
