#include "ui/close_guard.h"

#include "hfp/call_state.h"
#include "store/call_display.h"
#include "ui/window.h"

namespace {

GtkWidget* question = nullptr;   // main loop only: the open close-question, if any

// Asked of the call model, not of what the window shows: a call the phone
// has just made active is ended by closing even before the window says so.
bool call_in_progress()
{
    int state = call_model_snapshot().view().state;
    return state == CALL_OUTGOING || state == CALL_ACTIVE;
}

// It may also go with the window it belongs to.
void on_question_destroy(GtkWidget*, gpointer) { question = nullptr; }

void on_question_response(GtkDialog* dialog, int response, gpointer)
{
    gtk_widget_destroy(GTK_WIDGET(dialog));
    if (response != GTK_RESPONSE_ACCEPT || !window)
        return;
    // The call may have ended while the question was open.
    if (call_in_progress() && hangup_btn)
        gtk_button_clicked(GTK_BUTTON(hangup_btn));
    gtk_widget_destroy(window);
}

}  // namespace

gboolean on_window_delete_event(GtkWidget* widget, GdkEvent*, gpointer)
{
    if (!call_in_progress())
        return FALSE;
    if (question) {
        gtk_window_present(GTK_WINDOW(question));
        return TRUE;
    }
    // Not run in a nested loop: the call goes on being served while it waits.
    question = gtk_message_dialog_new(GTK_WINDOW(widget),
                                      GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                      GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s",
                                      "A call is in progress. Close Telvane and end the call?");
    gtk_window_set_title(GTK_WINDOW(question), "Close Telvane");
    gtk_dialog_add_buttons(GTK_DIALOG(question), "_Keep the call", GTK_RESPONSE_CANCEL, "_End call and close",
                           GTK_RESPONSE_ACCEPT, nullptr);
    gtk_dialog_set_default_response(GTK_DIALOG(question), GTK_RESPONSE_CANCEL);
    g_signal_connect(question, "response", G_CALLBACK(on_question_response), nullptr);
    g_signal_connect(question, "destroy", G_CALLBACK(on_question_destroy), nullptr);
    gtk_widget_show(question);
    return TRUE;
}
