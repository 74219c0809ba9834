#include "ui/call_buttons.h"

#include "hfp/call_actions.h"
#include "ui/window.h"

namespace {

void grey(GtkWidget* widget)
{
    if (widget)
        gtk_widget_set_sensitive(widget, FALSE);
}

}  // namespace

void on_answer_clicked(GtkButton*, gpointer)
{
    if (answer_call()) {
        grey(answer_btn);
        grey(reject_btn);
    }
}

void on_reject_clicked(GtkButton*, gpointer)
{
    if (reject_call()) {
        grey(answer_btn);
        grey(reject_btn);
    }
}

void on_hangup_clicked(GtkButton*, gpointer)
{
    if (hang_up_call())
        grey(hangup_btn);
}

void on_waiting_hold_answer_clicked(GtkButton*, gpointer) { hold_and_answer(); }
void on_waiting_end_answer_clicked(GtkButton*, gpointer) { end_and_answer(); }
void on_waiting_reject_clicked(GtkButton*, gpointer) { reject_waiting(); }
void on_swap_clicked(GtkButton*, gpointer) { swap_calls(); }
