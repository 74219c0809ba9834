// The call area: label, Answer, Reject and Hang up.
#pragma once
#include <gtk/gtk.h>

void update_call_ui();
gboolean hfp_refresh_ui_cb(gpointer);
void on_answer_clicked(GtkButton*, gpointer);
void on_reject_clicked(GtkButton*, gpointer);
void on_hangup_clicked(GtkButton*, gpointer);
