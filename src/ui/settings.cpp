#include "ui/settings.h"

int col_recent_type = 80, col_recent_name = 150, col_recent_number = 120, col_recent_time = 140;
int col_contacts_name = 200, col_contacts_number = 150;
int autostart_enabled = 0;

void read_settings() {}
void save_settings() {}
void set_autostart(int) {}
bool autostart_entry_exists() { return false; }
void on_autostart_toggled(GtkToggleButton*, gpointer) {}
void on_window_destroy(GtkWidget*, gpointer) { save_settings(); }
