// The real main window under Xvfb, read back from its widgets, and the log
// lines its Log tab and standard output show.
#include "text_helpers.h"
#include "ui_gtk.h"

#include "app/app.h"
#include "base/log.h"
#include "ui/log_view.h"
#include "core/text.h"
#include "store/phone_record.h"
#include "store/connection_state.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "phonedata/phonebook.h"
#include "store/phone_data.h"
#include "phonedata/recents.h"
#include "ui/call_notify.h"
#include "ui/close_guard.h"
#include "ui/list_views.h"
#include "ui/phone_status.h"
#include "ui/settings.h"
#include "ui/theme.h"
#include "ui/waiting_number.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

GtkWidget* find_widget(GtkWidget* root, const std::function<bool(GtkWidget*)>& match)
{
    if (!root || match(root))
        return root;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(root)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList* l = children; l && !found; l = l->next)
            found = find_widget(GTK_WIDGET(l->data), match);
        g_list_free(children);
    }
    return found;
}

GtkWidget* find_button(GtkWidget* root, const std::string& label)
{
    return find_widget(root, [&](GtkWidget* w) {
        const char* text = GTK_IS_BUTTON(w) ? gtk_button_get_label(GTK_BUTTON(w)) : nullptr;
        return text && label == text;
    });
}

bool has_class(GtkWidget* w, const char* c) { return gtk_style_context_has_class(gtk_widget_get_style_context(w), c); }
std::string label_text(GtkWidget* label) { return gtk_label_get_text(GTK_LABEL(label)); }

const char* const kStatusClasses[] = {"status-idle",       "status-discoverable", "status-pairing", "status-paired",
                                      "status-connecting", "status-connected",    "status-error"};

class MainWindow : public testing::Test {
protected:
    void SetUp() override { uitest::ensure_gtk(); }
    void TearDown() override { uitest::close_main_window(); }
    uitest::Sandbox sandbox;
};

#define PIXEL_7 "Device: Pixel 7\nAddress: 11:22:33:44:55:66\n\n"
#define READY "PC in passive mode.\n\nPress 'Start' to become discoverable.\nConnect from your phone."

// phone: its name and address are known
const struct { AppState state; bool phone; const char* error; int syncing_contacts, syncing_recents;
    const char *status, *info, *style_class; bool start, stop, disconnect, search, sync, spinner; } kHeaderRows[] = {
    {IDLE, false, "", 0, 0, "🔵 Ready", READY, "status-idle", true, false, false, false, false, false},
    {DISCOVERABLE, false, "", 0, 0, "📡 Discoverable - Waiting for phone",
     "Scan for Bluetooth on your phone\nand connect to this PC.\n\nPairing and connection are auto-accepted.",
     "status-discoverable", false, true, false, false, false, true},
    {PAIRING, false, "", 0, 0, "🔗 Pairing", "Pairing request from phone.\nAuto-approved.", "status-pairing", false,
     true, false, false, false, true},
    {PAIRED, false, "", 0, 0, "✓ Paired", "Device: Unknown\nAddress: -\n\nNot connected: connect from your phone.",
     "status-paired", false, true, false, false, false, false},
    {CONNECTING, true, "", 0, 0, "🔗 Connecting", PIXEL_7 "Connecting to Pixel 7…", "status-connecting", false,
     false, false, false, false, true},
    {CONNECTED, true, "", 1, 0, "✅ CONNECTED", PIXEL_7 "Phone is using this PC as headset.", "status-connected",
     false, false, true, false, true, false},
    {CONNECTED, true, "", 0, 1, "✅ CONNECTED", PIXEL_7 "Phone is using this PC as headset.", "status-connected",
     false, false, true, true, false, false},
    // Invalid UTF-8 in the error text is shown replaced, not dropped.
    {ERROR, false, "Agent \xff\xfe failed", 0, 0, "❌ ERROR", "Error: Agent \xEF\xBF\xBD\xEF\xBF\xBD failed",
     "status-error", true, false, false, false, false, false},
    // Back to the start: every earlier class and the spinner must be gone.
    {IDLE, true, "", 0, 0, "🔵 Ready", READY, "status-idle", true, false, false, false, false, false},
};

TEST_F(MainWindow, HeaderShowsEachConnectionStateAndSurvivesANameFillingItsBuffer)
{
    uitest::open_main_window();
    // One window through all rows, as in a run: leftovers of a state would show.
    for (const auto& row : kHeaderRows) {
        SCOPED_TRACE(row.status + std::to_string(row.syncing_recents));
        copy_text(device_name, row.phone ? "Pixel 7" : "");
        copy_text(device_addr, row.phone ? "11:22:33:44:55:66" : "");
        copy_text(error_msg, row.error);
        syncing_contacts = row.syncing_contacts;
        syncing_recents = row.syncing_recents;
        current_state = row.state;
        update_ui();
        uitest::pump();

        EXPECT_EQ(label_text(state_label), row.status);
        EXPECT_EQ(label_text(info_label), row.info);
        for (const char* style_class : kStatusClasses)
            EXPECT_EQ(has_class(state_label, style_class), std::string(style_class) == row.style_class)
                << style_class;
        gboolean spinning = FALSE;
        g_object_get(spinner, "active", &spinning, nullptr);
        auto on = [](GtkWidget* w) { return bool(gtk_widget_get_sensitive(w)); };
        EXPECT_EQ(std::tuple(on(start_btn), on(stop_btn), on(disconnect_btn), on(contacts_search_entry),
                             on(sync_recents_btn), gtk_widget_get_visible(spinner) && spinning),
                  std::tuple(row.start, row.stop, row.disconnect, row.search, row.sync, row.spinner))
            << "Start, Stop, Disconnect, search, Sync, spinner";
    }
    // Known contacts can be searched in every state, during a download too.
    auto known = std::make_shared<PhonebookTable>();
    copy_text(known->rows[0].name, "Ana");
    copy_text(known->rows[0].number, "1");
    known->count = 1;
    phonebook_install(known);
    for (const auto& row : kHeaderRows) {
        syncing_contacts = row.syncing_contacts;
        current_state = row.state;
        update_ui();
        EXPECT_TRUE(gtk_widget_get_sensitive(contacts_search_entry)) << state_names[row.state];
    }
    syncing_contacts = 0;

    copy_text(device_name, unit::repeat("é", sizeof device_name));
    copy_text(device_addr, "11:22:33:44:55:66");
    current_state = CONNECTED;
    update_ui();
    std::string info = label_text(info_label);
    EXPECT_TRUE(g_utf8_validate(info.c_str(), -1, nullptr));
    EXPECT_NE(info.find("Address: 11:22:33:44:55:66"), std::string::npos) << info;
}

// What PAIRED says and offers while a known phone is reconnected: the next
// try counting down, held after Disconnect, or nothing to try.
TEST(StatusView, PairedSaysWhenTheNextTryComesAndOffersConnectForAKnownPhone)
{
    const struct { const char* addr; int next_try_s; bool held; const char* info_end; bool connect; } rows[] = {
        {"11:22:33:44:55:66", 40, false, "Not connected: next try in 40 s", true},
        {"11:22:33:44:55:66", 0, false, "Not connected: next try in 0 s", true},
        {"11:22:33:44:55:66", -1, true, "Not connected: press Connect, or connect from your phone.", true},
        {"11:22:33:44:55:66", -1, false, "Not connected: connect from your phone.", true},
        {"", -1, false, "Not connected: connect from your phone.", false},
    };
    for (const auto& row : rows) {
        StatusView v = status_view_for(PAIRED, "Pixel 7", row.addr, "", false, false, row.next_try_s, row.held);
        EXPECT_TRUE(v.info_text.size() >= std::strlen(row.info_end) &&
                    v.info_text.compare(v.info_text.size() - std::strlen(row.info_end), std::string::npos, row.info_end) == 0)
            << v.info_text;
        EXPECT_EQ(v.connect, row.connect) << row.info_end;
        EXPECT_FALSE(status_view_for(CONNECTED, "Pixel 7", row.addr, "", false, false, row.next_try_s, row.held).connect);
    }
}

TEST_F(MainWindow, HasItsButtonsTabsLogAndDialpad)
{
    // The first frame has every tab but only the Dialpad's page: the others
    // are built after it, or when one is opened sooner, and keep what was
    // logged before.
    uitest::open_main_window(false);
    EXPECT_EQ(contacts_view, nullptr);
    EXPECT_EQ(log_view.load(), nullptr);
    append_log_ui(g_strdup("logged before the Log tab was built\n"));
    EXPECT_TRUE(build_one_later_page()) << "one page at a time, the others left";
    EXPECT_NE(recent_view, nullptr);
    EXPECT_EQ(contacts_view, nullptr);
    GtkNotebook* first = GTK_NOTEBOOK(find_widget(window, [](GtkWidget* w) { return GTK_IS_NOTEBOOK(w); }));
    gtk_notebook_set_current_page(first, 2);
    ASSERT_NE(contacts_view, nullptr);
    EXPECT_TRUE(th::wait_until([] {
        uitest::pump();
        return gtk_widget_get_mapped(contacts_view);
    }));
    EXPECT_EQ(unit::buffer_text(log_buffer.load()), "logged before the Log tab was built\n");
    build_later_pages();   // as the end of start-up does: nothing built twice
    EXPECT_EQ(gtk_notebook_get_n_pages(first), 4);
    gtk_notebook_set_current_page(first, 0);
    uitest::close_main_window();

    uitest::open_main_window();
    const std::pair<const char*, const char*> buttons[] = {
        {"▶️ Start", "btn-start"},   {"⏹️ Stop", "btn-stop"},     {"🔌 Disconnect", nullptr},
        {"🔗 Connect", nullptr},    {"✅ Answer", "btn-answer"}, {"❌ Reject", "btn-reject"}, {"🔚 Hang up", "btn-reject"},
        {"📞 Call", "btn-start"},   {"🔄 Sync", "sync-btn"},     {"🔄 Refresh", nullptr}};
    for (const auto& [label, style_class] : buttons) {
        GtkWidget* w = find_button(window, label);
        ASSERT_NE(w, nullptr) << label;
        for (const char* c : {"btn-start", "btn-stop", "btn-answer", "btn-reject", "sync-btn"})
            EXPECT_EQ(has_class(w, c), style_class && std::string(c) == style_class) << label << " " << c;
    }
    EXPECT_EQ(find_button(window, "🔚 Hang up"), hangup_btn);
    EXPECT_EQ(label_text(call_status_label), "📞 No call");

    GtkNotebook* notebook = GTK_NOTEBOOK(find_widget(window, [](GtkWidget* w) { return GTK_IS_NOTEBOOK(w); }));
    std::vector<std::string> tabs;
    for (int i = 0; i < gtk_notebook_get_n_pages(notebook); ++i)
        tabs.push_back(gtk_notebook_get_tab_label_text(notebook, gtk_notebook_get_nth_page(notebook, i)));
    EXPECT_EQ(tabs, (std::vector<std::string>{"📱 Dialpad", "🕘 Recent Calls", "👥 Contacts", "📋 Log"}));
    // Each tab shows its content once opened; what only a download shows stays hidden.
    for (auto [page, view] : {std::pair{1, recent_view}, {2, contacts_view}, {3, log_view.load()}, {1, recent_view}}) {
        gtk_notebook_set_current_page(notebook, page);
        EXPECT_TRUE(th::wait_until([&] {
            uitest::pump();
            return gtk_widget_get_mapped(view);
        })) << tabs[page];
    }
    EXPECT_TRUE(gtk_widget_is_visible(contacts_search_entry));
    EXPECT_FALSE(gtk_widget_get_visible(recents_spinner));
    EXPECT_FALSE(gtk_widget_get_visible(contacts_spinner));
    EXPECT_FALSE(gtk_widget_get_visible(contacts_progress_label));

    // The Log tab shows log_msg's lines (read by the phone-data tests), the last 5000.
    EXPECT_EQ(log_buffer.load(), gtk_text_view_get_buffer(GTK_TEXT_VIEW(log_view.load())));
    EXPECT_FALSE(gtk_text_view_get_editable(GTK_TEXT_VIEW(log_view.load())));
    for (int i = 0; i < 5003; ++i)
        append_log_ui(g_strdup_printf("line %d\n", i));
    std::string text = unit::buffer_text(log_buffer.load());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5000);
    EXPECT_EQ(text.rfind("line 3\n", 0), 0u) << text.substr(0, 40);
    EXPECT_NE(text.find("line 5002\n"), std::string::npos);

    GtkWidget* entry = find_widget(window, [](GtkWidget* w) { return GTK_IS_ENTRY(w) && has_class(w, "dial-entry"); });
    ASSERT_NE(entry, nullptr);
    GtkWidget* grid = gtk_widget_get_parent(find_button(window, "1"));
    ASSERT_TRUE(GTK_IS_GRID(grid));
    for (int i = 0; i < 12; ++i)
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(gtk_grid_get_child_at(GTK_GRID(grid), i % 3, i / 3))),
                     std::string(1, "123456789*0#"[i]).c_str());
    gtk_entry_set_text(GTK_ENTRY(entry), "+49 30");
    for (const char* k : {"1", "*", "#"})
        gtk_button_clicked(GTK_BUTTON(find_button(window, k)));
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(entry)), "+49 301*#");
    // A dial refused at once leaves the typed number to be mended or tried again.
    for (AppState state : {PAIRED, CONNECTED}) {
        current_state = state;   // PAIRED: not connected; CONNECTED: ';' is refused
        gtk_entry_set_text(GTK_ENTRY(entry), state == PAIRED ? "0301" : "12;3");
        gtk_button_clicked(GTK_BUTTON(find_button(window, "📞 Call")));
        EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(entry)), state == PAIRED ? "0301" : "12;3");
    }
    current_state = IDLE;

    EXPECT_FALSE(gtk_widget_get_visible(waiting_number_box));
    pending_dial_set("0301234567");
    uitest::pump();
    ASSERT_TRUE(gtk_widget_get_visible(waiting_number_box));
    EXPECT_EQ(label_text(waiting_number_label), "📞 Waiting for the phone to dial 0301234567…");
    gtk_button_clicked(GTK_BUTTON(find_button(window, "✖️ Cancel")));
    uitest::pump();
    EXPECT_FALSE(gtk_widget_get_visible(waiting_number_box));
    EXPECT_EQ(pending_dial_take(), "");
}

TEST(LogLine, IsStampBlankMessageNewlineCutAt511OnACharacterBoundary)
{
    std::tm t{};
    t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 7, t.tm_mday = 1, t.tm_year = 126;
    const std::string stamp = "[09:05:07] ";
    const std::string rows[][2] = {
        {"✓ D-Bus connection established", stamp + "✓ D-Bus connection established\n"},
        {"", stamp + "\n"},
        {std::string(600, 'a'), stamp + std::string(499, 'a') + "\n"},
        {std::string(499, 'b'), stamp + std::string(499, 'b') + "\n"},
        // 11 bytes of stamp + 250 two-byte characters would leave no room for the newline.
        {unit::repeat("é", 300), stamp + unit::repeat("é", 249) + "\n"},
    };
    for (const auto& [message, expected] : rows)
        EXPECT_EQ(format_log_line(t, message.c_str()), expected);
    EXPECT_EQ(format_log_line(t, nullptr), stamp + "\n");
}

// Every line captured from stdout must be one caller's complete line.
TEST(LogMsg, ConcurrentCallersNeverInterleave)
{
    testing::internal::CaptureStdout();
    {
        std::vector<std::jthread> writers;
        for (char c = 'A'; c < 'I'; ++c)
            writers.emplace_back([c] {
                for (int i = 0; i < 200; ++i)
                    log_msg(std::string(200, c).c_str());
            });
    }
    std::istringstream captured(testing::internal::GetCapturedStdout());
    size_t lines = 0;
    for (std::string line; std::getline(captured, line); ++lines)
        ASSERT_TRUE(line.size() == 211 && line.substr(11) == std::string(200, line[11])) << line;
    EXPECT_EQ(lines, 1600u);
}

void expect_widths(const std::vector<int>& widths)
{
    const char* titles[] = {"Type", "Name", "Number", "Time", "Name", "Number"};
    for (size_t i = 0; i < widths.size(); ++i) {
        GtkTreeViewColumn* column = gtk_tree_view_get_column(GTK_TREE_VIEW(i < 4 ? recent_view : contacts_view), int(i % 4));
        EXPECT_STREQ(gtk_tree_view_column_get_title(column), titles[i]);
        EXPECT_EQ(gtk_tree_view_column_get_fixed_width(column), widths[i]) << titles[i];
        EXPECT_TRUE(gtk_tree_view_column_get_resizable(column));
    }
}

TEST_F(MainWindow, ColumnWidthsComeFromSettingsClampedAndDraggedOnesAreWrittenOnClose)
{
    uitest::open_main_window();
    expect_widths({80, 150, 120, 140, 200, 150});
    EXPECT_EQ(gtk_tree_view_column_get_min_width(gtk_tree_view_get_column(GTK_TREE_VIEW(recent_view), 0)), 60);
    GtkWidget* notebook = find_widget(window, [](GtkWidget* w) { return GTK_IS_NOTEBOOK(w); });
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook), 1);
    // A drag of a column's edge ends in this very call.
    gtk_tree_view_column_set_fixed_width(gtk_tree_view_get_column(GTK_TREE_VIEW(recent_view), 1), 233);
    EXPECT_TRUE(th::wait_until([] { return col_recent_name == 233; })) << col_recent_name;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook), 2);
    // The last column fills the view, so its drawn width may not change at all.
    gtk_tree_view_column_set_fixed_width(gtk_tree_view_get_column(GTK_TREE_VIEW(contacts_view), 1), 177);
    EXPECT_TRUE(th::wait_until([] { return col_contacts_number == 177; })) << col_contacts_number;
    uitest::close_main_window();
    // The stretch of the last recents column is not a chosen width.
    const std::string file = sandbox.config_file("settings.json");
    EXPECT_EQ(th::read_file(file), format_settings(Settings{80, 233, 120, 140, 200, 177, 0}));

    th::write_file(file, format_settings(Settings{95, -5, 0, 99999, 321, 2147483647, 0}));
    uitest::open_main_window();
    expect_widths({95, kMinColumnWidth, kMinColumnWidth, kMaxColumnWidth, 321, kMaxColumnWidth});
}

TEST_F(MainWindow, AutostartBoxFollowsTheEntryOnDiskAndWritesIt)
{
    // The file claims autostart without an entry: unchecked, and the next save corrects it.
    th::write_file(sandbox.config_file("settings.json"), format_settings(Settings{80, 150, 120, 140, 200, 150, 1}));
    uitest::open_main_window();
    GtkToggleButton* box = GTK_TOGGLE_BUTTON(find_button(window, "🚀 Autostart"));
    EXPECT_FALSE(gtk_toggle_button_get_active(box));
    uitest::close_main_window();
    EXPECT_NE(th::read_file(sandbox.config_file("settings.json")).find("\"autostart\": false"), std::string::npos);

    // With the entry the box starts checked (that nothing is rewritten: the real binary).
    std::string entry = sandbox.dir.file(".config/autostart/telvane.desktop");
    ASSERT_EQ(g_mkdir_with_parents(sandbox.dir.file(".config/autostart").c_str(), 0755), 0);
    th::write_file(entry, "kept as it is");
    uitest::open_main_window();
    box = GTK_TOGGLE_BUTTON(find_button(window, "🚀 Autostart"));
    EXPECT_TRUE(gtk_toggle_button_get_active(box));

    gtk_toggle_button_set_active(box, FALSE);
    EXPECT_FALSE(th::file_exists(entry));
    gtk_toggle_button_set_active(box, TRUE);
    EXPECT_EQ(th::read_file(entry), autostart_entry(running_binary()));

    // The entry goes where $XDG_CONFIG_HOME says, as desktops look for it there.
    gtk_toggle_button_set_active(box, FALSE);
    g_setenv("XDG_CONFIG_HOME", sandbox.dir.file("elsewhere").c_str(), TRUE);
    gtk_toggle_button_set_active(box, TRUE);
    EXPECT_EQ(th::read_file(sandbox.dir.file("elsewhere/autostart/telvane.desktop")), autostart_entry(running_binary()));
    EXPECT_FALSE(th::file_exists(entry));
}

// What the header box shows (following the phone's events: the real binary's screen).
// "" = hidden
const struct { const char* name; bool connected; int service, signal, roam, battchg;
    const char *signal_icon, *battery_icon, *note, *tooltip; } kStatusRows[] = {
    {"not connected shows nothing", false, 1, 5, 0, 5, "", "", "", ""},
    {"nothing known yet", true, -1, -1, -1, -1, "", "", "", ""},
    {"weak signal, empty battery", true, 1, 1, 0, 0, "network-cellular-signal-weak-symbolic",
     "battery-level-0-symbolic", "", "Signal: 1 of 5\nPhone battery: 0 of 5"},
    {"signal 3, battery 3", true, 1, 3, 0, 3, "network-cellular-signal-ok-symbolic", "battery-level-60-symbolic", "",
     "Signal: 3 of 5\nPhone battery: 3 of 5"},
    {"no service wins over roaming", true, 0, 0, 1, -1, "network-cellular-offline-symbolic", "", "No service",
     "No service"},
    {"roaming", true, 1, 2, 1, 4, "network-cellular-signal-weak-symbolic", "battery-level-80-symbolic", "Roaming",
     "Signal: 2 of 5\nRoaming\nPhone battery: 4 of 5"},
    {"phone without service indicator", true, -1, 4, -1, -1, "network-cellular-signal-good-symbolic", "", "",
     "Signal: 4 of 5"},
    {"values out of range are not shown", true, 1, 9, 0, -3, "", "", "", ""},
};

TEST(PhoneStatus, IndicatorValuesGiveIconsTextsAndTooltip)
{
    for (const auto& row : kStatusRows) {
        PhoneStatusView v = phone_status_view(row.connected, row.service, row.signal, row.roam, row.battchg);
        auto text = [](const char* icon) { return std::string(icon ? icon : ""); };
        EXPECT_EQ(std::tuple(text(v.signal_icon), text(v.battery_icon), v.note, v.tooltip, v.visible),
                  std::tuple(std::string(row.signal_icon), std::string(row.battery_icon), std::string(row.note),
                             std::string(row.tooltip), *row.signal_icon || *row.battery_icon || *row.note)) << row.name;
    }
}

TEST(CallNotifications, CallerIsNamedOnOneLine)
{
    EXPECT_EQ(notification_caller("Alice", "+4930123"), "Alice");
    EXPECT_EQ(notification_caller("", "+4930123"), "+4930123");
    EXPECT_EQ(notification_caller("\n\t", ""), "Unknown caller");
    EXPECT_EQ(notification_caller("Bob\nEvil\x1b[31m", ""), "BobEvil[31m");
    EXPECT_EQ(notification_caller("bad \xff name", ""), "bad \xEF\xBF\xBD name");
}

int waiting_answered = 0, waiting_rejected = 0;

TEST(CallNotifications, WaitingCallerNotifiesWithAnswerAndRejectOfItsOwn)
{
    uitest::ensure_gtk();
    th::TempDir dir;
    th::DbusDaemon bus(dir.path());
    th::FakeNotifications notes(bus, dir.path());
    // An application of its own on a session bus with a notification server.
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    GtkApplication* application = gtk_application_new("org.telvane.Telvane.Waiting", G_APPLICATION_NON_UNIQUE);
    ASSERT_TRUE(g_application_register(G_APPLICATION(application), nullptr, nullptr));
    // The bus ends with this test; the rest of the process goes on without it.
    g_dbus_connection_set_exit_on_close(g_application_get_dbus_connection(G_APPLICATION(application)), FALSE);
    install_call_notifications(application);
    set_waiting_call_handlers([] { ++waiting_answered; }, [] { ++waiting_rejected; });

    unsigned shown = 0;   // the newest notification
    auto notify = [&](const char* number, const char* name) {
        notify_waiting_call(number, name);
        unsigned previous = shown;
        EXPECT_TRUE(th::wait_until([&] { return (shown = notes.notified("Call waiting")) != previous; }));
        return shown;
    };
    unsigned id = notify("+4930111", "Carol");
    EXPECT_NE(notes.calls().back().find("Carol\\n+4930111"), std::string::npos) << notes.calls().back();
    ASSERT_TRUE(notes.invoke(id, notes.action_key(id, "Reject")));
    EXPECT_TRUE(th::wait_until([] { return waiting_rejected == 1; }));
    id = notify("+4930222", "");
    ASSERT_TRUE(notes.invoke(id, notes.action_key(id, "Answer")));
    EXPECT_TRUE(th::wait_until([] { return waiting_answered == 1; }));
    EXPECT_EQ(waiting_rejected, 1);

    id = notify("+4930333", "");
    // GLib can close a notification only once its id is back; no user meets a caller gone sooner.
    th::wait_until([] { return false; }, 500);
    withdraw_waiting_call_notification();
    EXPECT_TRUE(th::wait_until([&] { return notes.closed(id); }));
    set_waiting_call_handlers(nullptr, nullptr);
    g_object_unref(application);
}

std::vector<GtkWidget*> shown_toplevels(bool (*match)(GtkWidget*))
{
    std::vector<GtkWidget*> out;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next)
        if (gtk_widget_get_visible(GTK_WIDGET(l->data)) && match(GTK_WIDGET(l->data)))
            out.push_back(GTK_WIDGET(l->data));
    g_list_free(all);
    return out;
}

// The first item of the list's context menu that is open, if any.
GtkWidget* open_menu_item()
{
    auto menus = shown_toplevels([](GtkWidget* w) -> bool { return GTK_IS_MENU(gtk_bin_get_child(GTK_BIN(w))); });
    if (menus.empty())
        return nullptr;
    GList* items = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(menus[0]))));
    GtkWidget* found = items ? GTK_WIDGET(items->data) : nullptr;
    g_list_free(items);
    return found;
}

TEST_F(MainWindow, RightClickOnAContactOffersToCopyItsNumber)
{
    uitest::open_main_window();
    GtkTreeView* view = GTK_TREE_VIEW(contacts_view);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(gtk_widget_get_ancestor(contacts_view, GTK_TYPE_NOTEBOOK)), 2);
    gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, "John Smith", 1, "+49 170 1234567", -1);
    gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, "No Number", 1, "", -1);
    ASSERT_TRUE(th::wait_until([&] {
        uitest::pump();
        return gtk_widget_get_mapped(contacts_view);
    }));
    auto press = [&](int row, guint button, GdkEventType type) {
        GdkRectangle cell;
        GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_view_get_cell_area(view, path, nullptr, &cell);
        gtk_tree_path_free(path);
        GdkEvent* event = gdk_event_new(type);
        event->button.window = GDK_WINDOW(g_object_ref(gtk_tree_view_get_bin_window(view)));
        event->button.button = button;
        event->button.x = cell.x + 5;
        event->button.y = row < 0 ? gtk_widget_get_allocated_height(contacts_view) - 5 : cell.y + cell.height / 2;
        event->button.time = GDK_CURRENT_TIME;
        gdk_event_set_device(event, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
        gboolean consumed = on_contacts_button_press(contacts_view, &event->button, nullptr);
        gdk_event_free(event);
        return consumed;
    };

    EXPECT_FALSE(press(0, 1, GDK_BUTTON_PRESS)) << "a left click belongs to the view";
    EXPECT_FALSE(press(0, 3, GDK_2BUTTON_PRESS));
    EXPECT_TRUE(press(-1, 3, GDK_BUTTON_PRESS)) << "empty space: consumed";
    EXPECT_EQ(open_menu_item(), nullptr);
    EXPECT_TRUE(press(1, 3, GDK_BUTTON_PRESS));
    GtkTreePath* second = gtk_tree_path_new_from_indices(1, -1);
    EXPECT_TRUE(gtk_tree_selection_path_is_selected(gtk_tree_view_get_selection(view), second));
    gtk_tree_path_free(second);
    EXPECT_EQ(open_menu_item(), nullptr) << "no number, no menu";

    EXPECT_TRUE(press(0, 3, GDK_BUTTON_PRESS));
    GtkWidget* item = open_menu_item();
    ASSERT_NE(item, nullptr);
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(item)), "📋 Copy Number");
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), "before", -1);
    // As a click on the item does: the shell deactivates the menu, then activates the item.
    GtkWidget* menu = gtk_widget_get_parent(item);
    bool released = false;
    g_signal_connect(menu, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer flag) { *static_cast<bool*>(flag) = true; }),
                     &released);
    gtk_menu_shell_activate_item(GTK_MENU_SHELL(menu), item, TRUE);
    gchar* copied = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
    EXPECT_STREQ(copied, "+49 170 1234567");
    g_free(copied);
    EXPECT_TRUE(th::wait_until([&] { return released; })) << "the menu is released after its item ran";
}

std::vector<GtkWidget*> questions()
{
    return shown_toplevels([](GtkWidget* w) -> bool { return GTK_IS_MESSAGE_DIALOG(w); });
}

TEST_F(MainWindow, ClosingDuringACallAsksOnceAndEndsTheCallOnlyWhenTold)
{
    uitest::open_main_window();
    EXPECT_FALSE(on_window_delete_event(window, nullptr, nullptr)) << "no call: closes at once";

    call_feed(hfp_link_generation(), [](CallModel& m) { m.on_call(1); }, nullptr, nullptr);
    hfp_update_call_state_cb(GINT_TO_POINTER(CALL_ACTIVE));
    gtk_window_close(GTK_WINDOW(window));
    uitest::pump();
    // GTK itself drops a second close while the question holds its grab.
    EXPECT_TRUE(on_window_delete_event(window, nullptr, nullptr));
    uitest::pump();
    ASSERT_EQ(questions().size(), 1u) << "asked once";
    gchar* text = nullptr;
    g_object_get(questions()[0], "text", &text, nullptr);
    EXPECT_STREQ(text, "A call is in progress. Close Telvane and end the call?");
    g_free(text);
    gtk_dialog_response(GTK_DIALOG(questions()[0]), GTK_RESPONSE_CANCEL);
    uitest::pump();
    EXPECT_TRUE(questions().empty());
    EXPECT_TRUE(gtk_widget_get_mapped(window));
    EXPECT_EQ(current_call_state.load(), CALL_ACTIVE);

    GtkWidget* watched = window;
    g_object_add_weak_pointer(G_OBJECT(watched), reinterpret_cast<gpointer*>(&watched));
    gtk_window_close(GTK_WINDOW(window));
    uitest::pump();
    ASSERT_EQ(questions().size(), 1u);
    gtk_dialog_response(GTK_DIALOG(questions()[0]), GTK_RESPONSE_ACCEPT);
    uitest::pump();
    EXPECT_EQ(current_call_state.load(), CALL_IDLE);
    EXPECT_EQ(watched, nullptr) << "the window stayed";
    EXPECT_TRUE(questions().empty());
    EXPECT_TRUE(th::file_exists(sandbox.config_file("settings.json"))) << "closed the ordinary way";
}

// A property GTK cannot parse would silently fall back to the light default look.
TEST(Theme, GtkParsesEveryRuleWithoutError)
{
    uitest::ensure_gtk();
    std::string css = theme_css();
    EXPECT_NE(css.find(".btn-reject {"), std::string::npos);
    GtkCssProvider* provider = gtk_css_provider_new();
    GError* error = nullptr;
    EXPECT_TRUE(gtk_css_provider_load_from_data(provider, css.c_str(), -1, &error)) << error->message;
    g_clear_error(&error);
    g_object_unref(provider);
}

}  // namespace
