#include "hfp/call_actions.h"

#include "app/log.h"

void update_call_ui() {}
gboolean hfp_refresh_ui_cb(gpointer)
{
    update_call_ui();
    return G_SOURCE_REMOVE;
}
void on_answer_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Answer is not available yet"); }
void on_reject_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Reject is not available yet"); }
void on_hangup_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Hang up is not available yet"); }
