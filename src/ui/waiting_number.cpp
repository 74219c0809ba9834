#include "ui/waiting_number.h"

#include "hfp/pending_dial.h"
#include "base/main_thread.h"

GtkWidget* waiting_number_box = nullptr;
GtkWidget* waiting_number_label = nullptr;

void build_waiting_number_bar(GtkWidget* main_box)
{
    waiting_number_box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    waiting_number_label = gtk_label_new(nullptr);
    gtk_label_set_xalign(GTK_LABEL(waiting_number_label), 0.0f);
    gtk_label_set_ellipsize(GTK_LABEL(waiting_number_label), PANGO_ELLIPSIZE_END);
    gtk_style_context_add_class(gtk_widget_get_style_context(waiting_number_label), "info-label");
    gtk_box_pack_start(GTK_BOX(waiting_number_box), waiting_number_label, TRUE, TRUE, 0);
    GtkWidget* cancel = gtk_button_new_with_label("✖️ Cancel");
    g_signal_connect(cancel, "clicked", G_CALLBACK(on_waiting_cancel_clicked), nullptr);
    gtk_box_pack_end(GTK_BOX(waiting_number_box), cancel, FALSE, FALSE, 0);
    gtk_widget_show_all(waiting_number_box);
    // Shown only while a number waits, whatever shows the window.
    gtk_widget_set_no_show_all(waiting_number_box, TRUE);
    gtk_widget_hide(waiting_number_box);
    gtk_box_pack_start(GTK_BOX(main_box), waiting_number_box, FALSE, FALSE, 0);
}

gboolean update_waiting_number_cb(gpointer)
{
    ASSERT_MAIN_THREAD();
    if (!waiting_number_box)
        return G_SOURCE_REMOVE;
    std::string number = pending_dial_peek();
    if (number.empty()) {
        gtk_widget_hide(waiting_number_box);
    } else {
        gchar* text = g_strdup_printf("📞 Waiting for the phone to dial %s…", number.c_str());
        gtk_label_set_text(GTK_LABEL(waiting_number_label), text);
        g_free(text);
        gtk_widget_show(waiting_number_box);
    }
    return G_SOURCE_REMOVE;
}

void on_waiting_cancel_clicked(GtkButton*, gpointer) { pending_dial_cancel(); }
