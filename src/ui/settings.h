// settings.json (column widths, autostart flag) and the autostart entry.
#pragma once
#include <gtk/gtk.h>

#include <string>

extern int col_recent_type, col_recent_name, col_recent_number, col_recent_time;
extern int col_contacts_name, col_contacts_number;
extern int autostart_enabled;

void read_settings();
void save_settings();
void set_autostart(int enable);
bool autostart_entry_exists();
void on_autostart_toggled(GtkToggleButton* button, gpointer);
void on_window_destroy(GtkWidget*, gpointer);
