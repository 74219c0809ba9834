// The call area's second row: a waiting caller or a held call beside the
// active one, with their actions; and key tones from the dial pad.
#pragma once
#include <gtk/gtk.h>

#include <string>

// Made by build_second_call_area; main loop only.
extern GtkWidget* second_call_label;
extern GtkWidget* hold_answer_btn;
extern GtkWidget* end_answer_btn;
extern GtkWidget* reject_waiting_btn;
extern GtkWidget* swap_btn;

void build_second_call_area(GtkWidget* main_box);
void update_second_call_ui();   // main loop; hidden while there is no second call
// During an active call, what is typed into the dial entry (or pressed on
// the pad) goes to the phone as key tones.
void attach_key_tones(GtkWidget* dial_entry);

// The second row's markup: the waiting caller or the held call, escaped.
std::string second_call_markup(bool waiting, const char* waiting_name, const char* waiting_number, bool held,
                               const char* held_name, const char* held_number);
