#include "ui/dial_handlers.h"

#include "base/log.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/dial.h"

#include <string>

namespace {

void dial_from_model(GtkTreeView* view, GtkTreePath* path, int column)
{
    GtkTreeModel* model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    if (!model || !gtk_tree_model_get_iter(model, &iter, path))
        return;
    gchar* number = nullptr;
    gtk_tree_model_get(model, &iter, column, &number, -1);
    if (number && number[0] != '\0')
        dial_number(number);
    g_free(number);
}

}  // namespace

void on_dial_call_clicked(GtkButton*, gpointer entry)
{
    if (!entry)
        return;
    // During a call the keys were tones; the entry keeps what was typed to dial.
    if (call_model_snapshot().view().state != CALL_IDLE) {
        log_msg("⚠️ A call is in progress; not dialling the entry");
        return;
    }
    const gchar* text = gtk_entry_get_text(GTK_ENTRY(entry));
    if (text && text[0] != '\0') {
        std::string number = text;
        // A refused number stays in the entry to be mended.
        if (dial_number(number.c_str()))
            gtk_entry_set_text(GTK_ENTRY(entry), "");
    } else {
        log_msg("⚠️ No number entered");
    }
}

void on_contact_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer)
{
    dial_from_model(view, path, 1);
}

void on_recent_row_activated(GtkTreeView* view, GtkTreePath* path, GtkTreeViewColumn*, gpointer)
{
    dial_from_model(view, path, 2);
}
