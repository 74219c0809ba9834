// The call area's buttons: each asks the phone and waits, greyed, for its
// answer to show in the call area.
#pragma once
#include <gtk/gtk.h>

void on_answer_clicked(GtkButton*, gpointer);
void on_reject_clicked(GtkButton*, gpointer);
void on_hangup_clicked(GtkButton*, gpointer);
void on_waiting_hold_answer_clicked(GtkButton*, gpointer);
void on_waiting_end_answer_clicked(GtkButton*, gpointer);
void on_waiting_reject_clicked(GtkButton*, gpointer);
void on_swap_clicked(GtkButton*, gpointer);
