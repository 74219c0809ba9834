// The yardstick of the start-up benchmark: an empty GtkApplication window of
// Telvane's size and nothing else.
#include <gtk/gtk.h>

namespace {

void on_activate(GtkApplication* application, gpointer)
{
    GtkWidget* window = gtk_application_window_new(application);
    gtk_window_set_title(GTK_WINDOW(window), "Reference");
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 650);
    gtk_widget_show_all(window);
}

}  // namespace

int main(int argc, char** argv)
{
    GtkApplication* application = gtk_application_new("org.telvane.BenchReference", G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(application, "activate", G_CALLBACK(on_activate), nullptr);
    int status = g_application_run(G_APPLICATION(application), argc, argv);
    g_object_unref(application);
    return status;
}
