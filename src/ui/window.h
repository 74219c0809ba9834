// The main window: widget globals and the one-time build.
#pragma once
#include <gtk/gtk.h>

// Made by build_main_window and used on the main loop only: workers reach
// them through idle callbacks. Null until the window is built.
extern GtkWidget* window;
extern GtkWidget* state_label;
extern GtkWidget* spinner;
extern GtkWidget* start_btn;
extern GtkWidget* stop_btn;
extern GtkWidget* disconnect_btn;
extern GtkWidget* connect_btn;
extern GtkWidget* info_label;
extern GtkWidget* call_status_label;
extern GtkWidget* answer_btn;
// Shown while a call's sound is on the phone's handset: brings it back.
extern GtkWidget* sound_btn;
extern GtkWidget* reject_btn;
extern GtkWidget* hangup_btn;
extern GtkWidget* sync_recents_btn;
extern GtkWidget* recents_spinner;
extern GtkListStore* recent_store;
extern GtkWidget* recent_view;
extern GtkWidget* contacts_spinner;
extern GtkWidget* contacts_search_entry;
extern GtkListStore* contacts_store;
extern GtkWidget* contacts_view;
extern GtkWidget* contacts_progress_label;

// Starts and shows, or stops and hides, one of the spinners (null: nothing).
void show_spinner(GtkWidget* spinner_widget, bool on);

// Cards received so far by a running phonebook download; below 0 hides it.
void show_phonebook_progress(int cards);

// Reads settings.json, installs the theme, builds and wires the window.
void build_main_window(GtkApplication* application);
// The same in two steps: what the first frame shows (the header, the call
// area, the Dialpad and every tab), then the other tabs' pages. Until those
// are built their widget globals are null; log lines are kept meanwhile.
void build_window_for_first_frame(GtkApplication* application);
void build_later_pages();
// One of those pages, so the main loop can answer between them; whether
// another is left to build.
bool build_one_later_page();
// Drops every widget global, as the window's destruction does: log lines,
// the SCO teardown and workers' results may still arrive after the window is
// gone (closing during a call), and must find no widget.
void forget_window_widgets();
void on_dialpad_clicked(GtkButton* button, gpointer digit);
void on_dial_entry_activate(GtkEntry* entry, gpointer);

// Column-width trackers ("notify::width"): keep the width globals current.
void on_col_recent_type_width(GObject* column, GParamSpec*, gpointer);
void on_col_recent_name_width(GObject* column, GParamSpec*, gpointer);
void on_col_recent_number_width(GObject* column, GParamSpec*, gpointer);
void on_col_recent_time_width(GObject* column, GParamSpec*, gpointer);
void on_col_contacts_name_width(GObject* column, GParamSpec*, gpointer);
void on_col_contacts_number_width(GObject* column, GParamSpec*, gpointer);

