// Small helpers for widgets that may not exist yet (the window is built
// after the state it shows, and tests build only parts of it).
#pragma once
#include <gtk/gtk.h>

inline void set_sensitive(GtkWidget* widget, bool on)
{
    if (widget)
        gtk_widget_set_sensitive(widget, on);
}
