// Placing a call: the one entry point for every outgoing call.
#pragma once
#include <gtk/gtk.h>

// From the main loop the exchange with the phone runs on a "dial" worker
// thread and its widget work comes back to the main loop; from another thread
// (the listener's automatic dial) it runs on that thread.
// False when refused at once (nothing dialled, said in the log).
bool dial_number(const char* number);
void on_dial_call_clicked(GtkButton* button, gpointer entry);
void on_contact_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
void on_recent_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn* column, gpointer);
