#include "ui/call_buttons.h"

#include "hfp/call_actions.h"
#include "ui/widget_state.h"
#include "ui/window.h"

void on_answer_clicked(GtkButton*, gpointer)
{
    if (answer_call()) {
        set_sensitive(answer_btn, false);
        set_sensitive(reject_btn, false);
    }
}

void on_reject_clicked(GtkButton*, gpointer)
{
    if (reject_call()) {
        set_sensitive(answer_btn, false);
        set_sensitive(reject_btn, false);
    }
}

void on_hangup_clicked(GtkButton*, gpointer)
{
    if (hang_up_call())
        set_sensitive(hangup_btn, false);
}

void on_waiting_hold_answer_clicked(GtkButton*, gpointer) { hold_and_answer(); }
void on_waiting_end_answer_clicked(GtkButton*, gpointer) { end_and_answer(); }
void on_waiting_reject_clicked(GtkButton*, gpointer) { reject_waiting(); }
void on_swap_clicked(GtkButton*, gpointer) { swap_calls(); }
