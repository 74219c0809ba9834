#include "ui/window.h"

#include "app/log.h"
#include "ui/settings.h"

GtkWidget* window = nullptr;
GtkWidget* state_label = nullptr;
GtkWidget* spinner = nullptr;
GtkWidget* start_btn = nullptr;
GtkWidget* stop_btn = nullptr;
GtkWidget* disconnect_btn = nullptr;
GtkWidget* info_label = nullptr;
GtkWidget* call_status_label = nullptr;
GtkWidget* answer_btn = nullptr;
GtkWidget* reject_btn = nullptr;
GtkWidget* hangup_btn = nullptr;
GtkWidget* sync_recents_btn = nullptr;
GtkWidget* recents_spinner = nullptr;
GtkListStore* recent_store = nullptr;
GtkWidget* recent_view = nullptr;
GtkWidget* contacts_spinner = nullptr;
GtkWidget* contacts_search_entry = nullptr;
GtkListStore* contacts_store = nullptr;
GtkWidget* contacts_view = nullptr;

void build_main_window(GtkApplication* application)
{
    read_settings();
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Telvane");
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 650);
    g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroy), nullptr);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_add(GTK_CONTAINER(window), box);
    state_label = gtk_label_new("⚪ Ready");
    spinner = gtk_spinner_new();
    gtk_box_pack_start(GTK_BOX(box), state_label, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), spinner, FALSE, FALSE, 0);
    GtkWidget* view = gtk_text_view_new();
    gtk_box_pack_start(GTK_BOX(box), view, TRUE, TRUE, 0);
    log_view = view;
    log_buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
    gtk_application_add_window(application, GTK_WINDOW(window));
}

void on_dialpad_clicked(GtkButton*, gpointer) {}
