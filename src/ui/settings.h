// settings.json (column widths, autostart flag) and the autostart entry.
#pragma once
#include "core/settings_file.h"

#include <gtk/gtk.h>

#include <string>

// Main loop only: read_settings, the column-width trackers, the window build
// and the Autostart box write them; save_settings reads them.
extern int col_recent_type, col_recent_name, col_recent_number, col_recent_time;
extern int col_contacts_name, col_contacts_number;
extern int autostart_enabled;

void read_settings();
void save_settings();
void set_autostart(int enable);
bool autostart_entry_exists();
void on_autostart_toggled(GtkToggleButton* button, gpointer);
void on_cancel_echo_toggled(GtkToggleButton* button, gpointer);
void on_window_destroy(GtkWidget*, gpointer);

Settings settings_from_globals();
void settings_to_globals(const Settings& values);

// The width a column is given: GTK cannot use zero, negative or absurd widths.
inline constexpr int kMinColumnWidth = 20;
inline constexpr int kMaxColumnWidth = 2000;
int usable_column_width(int width);

// The eleven lines of the autostart entry; Exec runs binary.
std::string autostart_entry(const std::string& binary);
// The real path of the program running now, so autostart starts this very
// build wherever it was installed.
std::string running_binary();
// binary as one argument of a desktop entry's Exec line.
std::string desktop_exec_argument(const std::string& path);
// "$HOME/.config/autostart", or "" when HOME is unset or empty or the path
// would not fit in 511 bytes.
std::string autostart_folder();
std::string autostart_file();
