#include "hfp/dial.h"

#include "app/log.h"

void dial_number(const char* number) { log_msgf("ℹ️ Dialling %s is not available yet", number ? number : ""); }
void on_dial_call_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Calls are not available yet"); }
void on_contact_row_activated(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer) {}
void on_recent_row_activated(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer) {}
