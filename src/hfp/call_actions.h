// The call area: label, Answer, Reject and Hang up.
#pragma once
#include <gtk/gtk.h>

#include <string>

void update_call_ui();
gboolean hfp_refresh_ui_cb(gpointer);
void on_answer_clicked(GtkButton*, gpointer);
void on_reject_clicked(GtkButton*, gpointer);
void on_hangup_clicked(GtkButton*, gpointer);

// The label's markup for a call state; name and number are escaped, so a
// caller's text always shows as typed.
std::string call_label_markup(int state, const char* name, const char* number);
