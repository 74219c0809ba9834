// The header's Start, Stop, Connect and Disconnect buttons. Main thread.
#pragma once
#include <gtk/gtk.h>

void on_start_clicked(GtkButton*, gpointer);
void on_stop_clicked(GtkButton*, gpointer);
void on_disconnect_clicked(GtkButton*, gpointer);
void on_connect_clicked(GtkButton*, gpointer);
