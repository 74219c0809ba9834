// Placing a call: the one entry point for every outgoing call.
#pragma once
#include <gtk/gtk.h>

// Main loop. ATD is queued on the hands-free link and judged when the phone
// answers (its widget work comes back to the main loop); without a link the
// number waits for one. False when refused at once (nothing dialled or
// waiting, said in the log).
bool dial_number(const char* number);
void on_dial_call_clicked(GtkButton* button, gpointer entry);
void on_contact_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
void on_recent_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
