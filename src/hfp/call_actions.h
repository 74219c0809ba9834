// What the user does with calls: Answer, Reject, Hang up, the second call's
// buttons and key tones.
#pragma once
#include <gtk/gtk.h>


void on_answer_clicked(GtkButton*, gpointer);
void on_reject_clicked(GtkButton*, gpointer);
void on_hangup_clicked(GtkButton*, gpointer);

// A second call: answer the waiting caller holding the current call
// (AT+CHLD=2) or ending it (AT+CHLD=1), reject the waiting caller
// (AT+CHLD=0), swap the active and the held call (AT+CHLD=2).
void on_waiting_hold_answer_clicked(GtkButton*, gpointer);
void on_waiting_end_answer_clicked(GtkButton*, gpointer);
void on_waiting_reject_clicked(GtkButton*, gpointer);
void on_swap_clicked(GtkButton*, gpointer);
// One key tone (AT+VTS) during an active call; false when none was sent.
bool send_key_tone(char key);
