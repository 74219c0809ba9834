// The call area's line for a tel: number that waits for the phone, with
// the Cancel that drops it.
#pragma once
#include <gtk/gtk.h>

// Made by build_waiting_number_bar; main loop only.
extern GtkWidget* waiting_number_box;
extern GtkWidget* waiting_number_label;

void build_waiting_number_bar(GtkWidget* main_box);
gboolean update_waiting_number_cb(gpointer);
void on_waiting_cancel_clicked(GtkButton*, gpointer);
