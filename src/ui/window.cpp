#include "ui/window.h"

#include "base/log.h"
#include "base/main_thread.h"
#include "audio/aec.h"
#include "ui/connection_buttons.h"
#include "hfp/call_actions.h"
#include "ui/call_buttons.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/dial.h"
#include "ui/dial_handlers.h"
#include "ui/second_call.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "store/phone_data.h"
#include "ui/call_notify.h"
#include "ui/call_volume_ui.h"
#include "ui/list_views.h"
#include "ui/log_view.h"
#include "ui/close_guard.h"
#include "ui/phone_status.h"
#include "ui/settings.h"
#include "ui/theme.h"
#include "ui/waiting_number.h"

#include <algorithm>
#include <iterator>

GtkWidget* window = nullptr;
GtkWidget* state_label = nullptr;
GtkWidget* spinner = nullptr;
GtkWidget* start_btn = nullptr;
GtkWidget* stop_btn = nullptr;
GtkWidget* disconnect_btn = nullptr;
GtkWidget* connect_btn = nullptr;
GtkWidget* info_label = nullptr;
GtkWidget* call_status_label = nullptr;
GtkWidget* answer_btn = nullptr;
GtkWidget* reject_btn = nullptr;
GtkWidget* hangup_btn = nullptr;
GtkWidget* sound_btn = nullptr;
GtkWidget* sync_recents_btn = nullptr;
GtkWidget* recents_spinner = nullptr;
GtkListStore* recent_store = nullptr;
GtkWidget* recent_view = nullptr;
GtkWidget* contacts_spinner = nullptr;
GtkWidget* contacts_search_entry = nullptr;
GtkListStore* contacts_store = nullptr;
GtkWidget* contacts_view = nullptr;
GtkWidget* contacts_progress_label = nullptr;

namespace {

// Static so the texts outlive every key: they are the keys' user data.
const char* const kDialpadKeys[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "*", "0", "#"};

void add_class(GtkWidget* widget, const char* style_class)
{
    gtk_style_context_add_class(gtk_widget_get_style_context(widget), style_class);
}

GtkWidget* classed_button(const char* label, const char* style_class)
{
    GtkWidget* button = gtk_button_new_with_label(label);
    if (style_class)
        add_class(button, style_class);
    return button;
}

void add_text_column(GtkWidget* view, GtkCellRenderer* renderer, const char* title, int store_column,
                     int min_width, int fixed_width, GCallback width_tracker)
{
    GtkTreeViewColumn* column =
        gtk_tree_view_column_new_with_attributes(title, renderer, "text", store_column, nullptr);
    if (min_width > 0)
        gtk_tree_view_column_set_min_width(column, min_width);
    gtk_tree_view_column_set_resizable(column, TRUE);
    // The file may hold any number; GTK needs a positive, sane width.
    gtk_tree_view_column_set_fixed_width(column, usable_column_width(fixed_width));
    g_signal_connect(column, "notify::width", width_tracker, nullptr);
    // The last column may never change its width when dragged (it fills the
    // view), but its chosen width still changes.
    g_signal_connect(column, "notify::fixed-width", width_tracker, nullptr);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view), column);
}

GtkWidget* scrolled(GtkWidget* child)
{
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scroll), child);
    return scroll;
}

GtkWidget* page_box(int spacing)
{
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, spacing);
    gtk_container_set_border_width(GTK_CONTAINER(box), 8);
    return box;
}

void build_header(GtkWidget* main_box)
{
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(GTK_BOX(main_box), row, FALSE, FALSE, 0);

    GtkWidget* title = gtk_label_new("🎧 Telvane");
    add_class(title, "title");
    gtk_box_pack_start(GTK_BOX(row), title, FALSE, FALSE, 0);

    state_label = gtk_label_new("⚪ Ready");
    gtk_widget_set_halign(state_label, GTK_ALIGN_END);
    gtk_box_pack_end(GTK_BOX(row), state_label, FALSE, FALSE, 0);

    spinner = gtk_spinner_new();
    gtk_box_pack_end(GTK_BOX(row), spinner, FALSE, FALSE, 0);
    gtk_box_pack_end(GTK_BOX(row), build_phone_status(), FALSE, FALSE, 0);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_box_pack_start(GTK_BOX(main_box), buttons, FALSE, FALSE, 0);
    start_btn = classed_button("▶️ Start", "btn-start");
    stop_btn = classed_button("⏹️ Stop", "btn-stop");
    disconnect_btn = classed_button("🔌 Disconnect", nullptr);
    connect_btn = classed_button("🔗 Connect", nullptr);
    for (GtkWidget* button : {start_btn, stop_btn, connect_btn, disconnect_btn})
        gtk_box_pack_start(GTK_BOX(buttons), button, TRUE, TRUE, 0);
    g_signal_connect(start_btn, "clicked", G_CALLBACK(on_start_clicked), nullptr);
    g_signal_connect(stop_btn, "clicked", G_CALLBACK(on_stop_clicked), nullptr);
    g_signal_connect(disconnect_btn, "clicked", G_CALLBACK(on_disconnect_clicked), nullptr);
    g_signal_connect(connect_btn, "clicked", G_CALLBACK(on_connect_clicked), nullptr);

    info_label = gtk_label_new("");
    gtk_label_set_xalign(GTK_LABEL(info_label), 0.0f);
    add_class(info_label, "info-label");
    gtk_box_pack_start(GTK_BOX(main_box), info_label, FALSE, FALSE, 0);
}

void build_call_area(GtkWidget* main_box)
{
    call_status_label = gtk_label_new(nullptr);
    gtk_label_set_markup(GTK_LABEL(call_status_label), "📞 No call");
    gtk_label_set_xalign(GTK_LABEL(call_status_label), 0.5f);
    gtk_label_set_justify(GTK_LABEL(call_status_label), GTK_JUSTIFY_CENTER);
    add_class(call_status_label, "call-label");
    gtk_box_pack_start(GTK_BOX(main_box), call_status_label, FALSE, FALSE, 4);

    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_box_pack_start(GTK_BOX(main_box), row, FALSE, FALSE, 0);
    answer_btn = classed_button("✅ Answer", "btn-answer");
    reject_btn = classed_button("❌ Reject", "btn-reject");
    hangup_btn = classed_button("🔚 Hang up", "btn-reject");
    // No Donate link: the project has no donation page of its own to point at.

    GtkWidget* autostart = gtk_check_button_new_with_label("🚀 Autostart");
    autostart_enabled = autostart_entry_exists() ? 1 : 0;
    // Set before the handler is connected, so building writes nothing.
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(autostart), autostart_enabled != 0);

    GtkWidget* cancel_echo = gtk_check_button_new_with_label("Cancel echo");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(cancel_echo), aec_enabled.load() != 0);

    for (GtkWidget* child : {answer_btn, reject_btn, hangup_btn, autostart, cancel_echo})
        gtk_box_pack_start(GTK_BOX(row), child, TRUE, TRUE, 0);
    g_signal_connect(answer_btn, "clicked", G_CALLBACK(on_answer_clicked), nullptr);
    g_signal_connect(reject_btn, "clicked", G_CALLBACK(on_reject_clicked), nullptr);
    g_signal_connect(hangup_btn, "clicked", G_CALLBACK(on_hangup_clicked), nullptr);
    g_signal_connect(autostart, "toggled", G_CALLBACK(on_autostart_toggled), nullptr);
    g_signal_connect(cancel_echo, "toggled", G_CALLBACK(on_cancel_echo_toggled), nullptr);
    sound_btn = classed_button("🔊 Sound to this PC", "btn-answer");
    gtk_widget_set_no_show_all(sound_btn, TRUE);
    gtk_box_pack_start(GTK_BOX(main_box), sound_btn, FALSE, FALSE, 0);
    g_signal_connect(sound_btn, "clicked", G_CALLBACK(+[](GtkButton*, gpointer) { voice_link_bring_back(); }), nullptr);
    build_second_call_area(main_box);
    build_call_volume_area(main_box);
}

GtkWidget* build_dialpad_page()
{
    GtkWidget* page = page_box(8);

    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_placeholder_text(GTK_ENTRY(entry), "Enter number…");
    gtk_entry_set_alignment(GTK_ENTRY(entry), 0.5f);
    gtk_widget_set_size_request(entry, -1, 40);
    add_class(entry, "dial-entry");
    gtk_box_pack_start(GTK_BOX(page), entry, FALSE, FALSE, 0);
    g_signal_connect(entry, "activate", G_CALLBACK(on_dial_entry_activate), nullptr);
    attach_key_tones(entry);

    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
    gtk_widget_set_halign(grid, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(page), grid, TRUE, FALSE, 0);
    for (int i = 0; i < 12; ++i) {
        GtkWidget* key = gtk_button_new_with_label(kDialpadKeys[i]);
        gtk_widget_set_size_request(key, 70, 50);
        add_class(key, "dialpad-btn");
        g_object_set_data(G_OBJECT(key), "entry", entry);
        g_signal_connect(key, "clicked", G_CALLBACK(on_dialpad_clicked),
                         const_cast<char*>(kDialpadKeys[i]));
        gtk_grid_attach(GTK_GRID(grid), key, i % 3, i / 3, 1, 1);
    }

    GtkWidget* call = classed_button("📞 Call", "btn-start");
    gtk_widget_set_size_request(call, 220, 50);
    g_object_set_data(G_OBJECT(call), "entry", entry);
    g_signal_connect(call, "clicked", G_CALLBACK(on_dial_call_clicked), entry);
    gtk_box_pack_start(GTK_BOX(page), call, FALSE, FALSE, 0);
    return page;
}

GtkWidget* list_header(GtkWidget* page, const char* title, GtkWidget* button, GtkWidget* list_spinner)
{
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(GTK_BOX(page), row, FALSE, FALSE, 0);
    GtkWidget* label = gtk_label_new(title);
    gtk_widget_set_halign(label, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
    gtk_box_pack_end(GTK_BOX(row), button, FALSE, FALSE, 0);
    // Shown only while its download runs, never by showing the window.
    gtk_widget_set_no_show_all(list_spinner, TRUE);
    gtk_box_pack_end(GTK_BOX(row), list_spinner, FALSE, FALSE, 0);
    return row;
}

// A list of store's rows: a double click acts on a row, a right click offers
// its number.
GtkWidget* list_view(GtkListStore* store, GCallback activated, GCallback pressed)
{
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(view), TRUE);
    add_class(view, "list-view");
    g_signal_connect(view, "row-activated", activated, nullptr);
    g_signal_connect(view, "button-press-event", pressed, nullptr);
    return view;
}

void fill_recents_page(GtkWidget* page)
{
    sync_recents_btn = classed_button("🔄 Sync", "sync-btn");
    recents_spinner = gtk_spinner_new();
    list_header(page, "🕘 Recent Calls", sync_recents_btn, recents_spinner);
    g_signal_connect(sync_recents_btn, "clicked", G_CALLBACK(on_sync_recents_clicked), nullptr);

    recent_store = gtk_list_store_new(4, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    recent_view = list_view(recent_store, G_CALLBACK(on_recent_row_activated), G_CALLBACK(on_recents_button_press));
    GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
    add_text_column(recent_view, renderer, "Type", 0, 60, col_recent_type, G_CALLBACK(on_col_recent_type_width));
    add_text_column(recent_view, renderer, "Name", 1, 0, col_recent_name, G_CALLBACK(on_col_recent_name_width));
    add_text_column(recent_view, renderer, "Number", 2, 0, col_recent_number,
                    G_CALLBACK(on_col_recent_number_width));
    add_text_column(recent_view, renderer, "Time", 3, 0, col_recent_time, G_CALLBACK(on_col_recent_time_width));
    gtk_box_pack_start(GTK_BOX(page), scrolled(recent_view), TRUE, TRUE, 0);
}

void fill_contacts_page(GtkWidget* page)
{
    GtkWidget* refresh = gtk_button_new_with_label("🔄 Refresh");
    contacts_spinner = gtk_spinner_new();
    GtkWidget* header = list_header(page, "👥 Contacts", refresh, contacts_spinner);
    contacts_progress_label = gtk_label_new("");
    add_class(contacts_progress_label, "info-label");
    gtk_widget_set_no_show_all(contacts_progress_label, TRUE);
    gtk_box_pack_end(GTK_BOX(header), contacts_progress_label, FALSE, FALSE, 0);
    g_signal_connect(refresh, "clicked", G_CALLBACK(on_refresh_phonebook_clicked), nullptr);

    GtkWidget* search_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    gtk_box_pack_start(GTK_BOX(page), search_row, FALSE, FALSE, 0);
    contacts_search_entry = gtk_search_entry_new();
    gtk_entry_set_placeholder_text(GTK_ENTRY(contacts_search_entry), "Search name or number… (min 2 chars)");
    gtk_box_pack_start(GTK_BOX(search_row), contacts_search_entry, TRUE, TRUE, 0);
    // Every change, not GTK's delayed "search-changed": the search is cheap.
    g_signal_connect(contacts_search_entry, "changed", G_CALLBACK(on_contacts_search_changed), nullptr);

    contacts_store = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_STRING);
    contacts_view =
        list_view(contacts_store, G_CALLBACK(on_contact_row_activated), G_CALLBACK(on_contacts_button_press));
    GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
    add_text_column(contacts_view, renderer, "Name", 0, 0, col_contacts_name,
                    G_CALLBACK(on_col_contacts_name_width));
    add_text_column(contacts_view, renderer, "Number", 1, 0, col_contacts_number,
                    G_CALLBACK(on_col_contacts_number_width));
    gtk_box_pack_start(GTK_BOX(page), scrolled(contacts_view), TRUE, TRUE, 0);
}

void fill_log_page(GtkWidget* page)
{
    GtkWidget* view = gtk_text_view_new_with_buffer(log_buffer.load());
    gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
    gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD);
    add_class(view, "log-view");
    gtk_box_pack_start(GTK_BOX(page), scrolled(view), TRUE, TRUE, 0);
    log_view = view;
}

void append_page(GtkWidget* notebook, GtkWidget* page, const char* tab)
{
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), page, gtk_label_new(tab));
}

constexpr const char* kHeldBack = "telvane-held-back";

// A page's content stays unshown until the page is first opened: measuring
// and styling lists and the log nobody sees yet only slows the window. The
// tab itself shows from the start.
void hold_back_until_opened(GtkWidget* page)
{
    GList* held = nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(page));
    for (GList* l = children; l; l = l->next) {
        GtkWidget* child = GTK_WIDGET(l->data);
        if (!gtk_widget_get_no_show_all(child)) {
            gtk_widget_set_no_show_all(child, TRUE);
            held = g_list_prepend(held, child);
        }
    }
    g_list_free(children);
    g_object_set_data_full(G_OBJECT(page), kHeldBack, held, reinterpret_cast<GDestroyNotify>(g_list_free));
}

// The tabs' pages behind the first, empty boxes until built after the first
// frame: creating lists and the log nobody sees yet only delays it. The
// window owns them. Main loop only, like the widgets.
GtkWidget* later_pages[3] = {nullptr, nullptr, nullptr};
int later_pages_filled = 0;

void on_switch_page(GtkNotebook*, GtkWidget* page, guint, gpointer)
{
    if (std::find(std::begin(later_pages), std::end(later_pages), page) != std::end(later_pages))
        build_later_pages();
    auto* held = static_cast<GList*>(g_object_steal_data(G_OBJECT(page), kHeldBack));
    for (GList* l = held; l; l = l->next) {
        gtk_widget_set_no_show_all(GTK_WIDGET(l->data), FALSE);
        gtk_widget_show_all(GTK_WIDGET(l->data));
    }
    g_list_free(held);
}

// The width the user gave the column (a drag sets it), not the width it is
// drawn at: the last column is stretched to fill the view, and storing that
// stretch would make the saved widths creep up from run to run.
int column_width(GObject* object)
{
    GtkTreeViewColumn* column = GTK_TREE_VIEW_COLUMN(object);
    int chosen = gtk_tree_view_column_get_fixed_width(column);
    return chosen > 0 ? chosen : gtk_tree_view_column_get_width(column);
}

void on_window_destroyed(GtkWidget*, gpointer)
{
    forget_window_widgets();
    for (GtkWidget*& page : later_pages)
        page = nullptr;
    later_pages_filled = 0;
}

}  // namespace

void forget_window_widgets()
{
    log_buffer = nullptr;
    log_view = nullptr;
    window = state_label = spinner = start_btn = stop_btn = disconnect_btn = connect_btn = info_label = nullptr;
    call_status_label = answer_btn = reject_btn = hangup_btn = sync_recents_btn = nullptr;
    recents_spinner = recent_view = contacts_spinner = contacts_search_entry = contacts_view = nullptr;
    contacts_progress_label = nullptr;
    recent_store = contacts_store = nullptr;
    waiting_number_box = waiting_number_label = sound_btn = nullptr;
}

void build_window_for_first_frame(GtkApplication* application)
{
    ASSERT_MAIN_THREAD();
    read_settings();
    install_theme();

    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Telvane");
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 650);
    gtk_container_set_border_width(GTK_CONTAINER(window), 12);
    g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroy), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(on_window_destroyed), nullptr);
    g_signal_connect(window, "delete-event", G_CALLBACK(on_window_delete_event), nullptr);

    GtkWidget* main_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    gtk_container_add(GTK_CONTAINER(window), main_box);
    build_header(main_box);
    build_call_area(main_box);
    build_waiting_number_bar(main_box);

    GtkWidget* notebook = gtk_notebook_new();
    gtk_notebook_set_tab_pos(GTK_NOTEBOOK(notebook), GTK_POS_TOP);
    gtk_box_pack_start(GTK_BOX(main_box), notebook, TRUE, TRUE, 0);
    append_page(notebook, build_dialpad_page(), "📱 Dialpad");
    const char* const later_tabs[3] = {"🕘 Recent Calls", "👥 Contacts", "📋 Log"};
    later_pages_filled = 0;
    for (int i = 0; i < 3; ++i) {
        later_pages[i] = page_box(6);
        append_page(notebook, later_pages[i], later_tabs[i]);
    }
    g_signal_connect(notebook, "switch-page", G_CALLBACK(on_switch_page), nullptr);
    // Log lines from the start are kept for the Log tab, built later; the
    // window holds the buffer as long as it lives.
    GtkTextBuffer* buffer = gtk_text_buffer_new(nullptr);
    g_object_set_data_full(G_OBJECT(window), "telvane-log-buffer", buffer, g_object_unref);
    log_buffer = buffer;

    gtk_application_add_window(application, GTK_WINDOW(window));
    install_call_notifications(application);
}

void build_main_window(GtkApplication* application)
{
    build_window_for_first_frame(application);
    build_later_pages();
}

bool build_one_later_page()
{
    if (!later_pages[0] || later_pages_filled == 3)
        return false;
    void (*const fill[3])(GtkWidget*) = {fill_recents_page, fill_contacts_page, fill_log_page};
    GtkWidget* page = later_pages[later_pages_filled];
    fill[later_pages_filled++](page);
    // A page opened before this is built here first, then shown as opened.
    hold_back_until_opened(page);
    return later_pages_filled < 3;
}

void build_later_pages()
{
    while (build_one_later_page()) {
    }
}

// Enter in the dial entry places the call, as the Call button does.
void on_dial_entry_activate(GtkEntry* entry, gpointer)
{
    on_dial_call_clicked(nullptr, entry);
}

void on_dialpad_clicked(GtkButton* button, gpointer digit)
{
    auto* entry = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(button), "entry"));
    if (!entry || !digit)
        return;
    // Inserted, not replaced: during a call only the new key becomes a tone.
    gint end = gtk_entry_get_text_length(GTK_ENTRY(entry));
    gtk_editable_insert_text(GTK_EDITABLE(entry), static_cast<const char*>(digit), -1, &end);
}

void on_col_recent_type_width(GObject* column, GParamSpec*, gpointer) { col_recent_type = column_width(column); }
void on_col_recent_name_width(GObject* column, GParamSpec*, gpointer) { col_recent_name = column_width(column); }
void on_col_recent_number_width(GObject* column, GParamSpec*, gpointer)
{
    col_recent_number = column_width(column);
}
void on_col_recent_time_width(GObject* column, GParamSpec*, gpointer) { col_recent_time = column_width(column); }
void on_col_contacts_name_width(GObject* column, GParamSpec*, gpointer)
{
    col_contacts_name = column_width(column);
}
void on_col_contacts_number_width(GObject* column, GParamSpec*, gpointer)
{
    col_contacts_number = column_width(column);
}

void show_phonebook_progress(int cards)
{
    if (!contacts_progress_label)
        return;
    if (cards < 0) {
        gtk_widget_hide(contacts_progress_label);
        return;
    }
    char text[64];
    g_snprintf(text, sizeof text, "📥 %d contacts so far", cards);
    gtk_label_set_text(GTK_LABEL(contacts_progress_label), text);
    gtk_widget_show(contacts_progress_label);
}

void show_spinner(GtkWidget* spinner_widget, bool on)
{
    if (!spinner_widget)
        return;
    if (on) {
        gtk_spinner_start(GTK_SPINNER(spinner_widget));
        gtk_widget_show(spinner_widget);
    } else {
        gtk_spinner_stop(GTK_SPINNER(spinner_widget));
        gtk_widget_hide(spinner_widget);
    }
}
