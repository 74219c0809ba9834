// Contact search as the user types, and the list views' right click, in
// process with real GTK widgets under Xvfb.
#include "app/log.h"
#include "app/text.h"
#include "connection/device.h"
#include "connection/state.h"
#include "text_helpers.h"
#include "harness.h"
#include "ui_gtk.h"
#include "phonedata/obex.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "phonedata/search.h"
#include "phonedata_obexd.h"
#include "ui/list_views.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

std::shared_ptr<PhonebookTable> table_of(const std::vector<std::pair<std::string, std::string>>& rows)
{
    auto table = std::make_shared<PhonebookTable>();
    for (const auto& [name, number] : rows) {
        Contact& c = table->rows[table->count++];
        copy_text(c.name, name.c_str());
        copy_text(c.number, number.c_str());
    }
    table->prepare();
    return table;
}

std::string names(const Contact* rows, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += std::string(rows[i].name) + "|";
    return out;
}

TEST(ContactSearch, MatchesNamesWhateverTheCaseAndNumbersAsTyped)
{
    auto table = table_of({{"John Smith", "+49 170 1234567"},
                           {"Joanna Brown", "555 12 34"},
                           {"Bob Major", "5551234"},
                           {"ÉMILE ZOLA", "+33 1 55"},
                           {"Anna", "0 800 JOJO"}});
    const std::pair<const char*, std::string> cases[] = {
        {"jo", "John Smith|Joanna Brown|Bob Major|"},
        // Names match lower-cased; the number only as typed.
        {"JO", "John Smith|Joanna Brown|Bob Major|Anna|"},
        {"555 12", "Joanna Brown|"},
        {"5551", "Bob Major|"},
        {"émile", "ÉMILE ZOLA|"},
        {"j", ""},
    };
    Contact out[kMaxShownContacts];
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(names(out, search_contacts(*table, query, out, kMaxShownContacts)), expected) << query;
}

TEST(ContactSearch, ThreeHundredMatchesShowTheFirstTwoHundredInPhonebookOrder)
{
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back({"Person " + std::to_string(i), "+49 170 " + std::to_string(i)});
    auto table = table_of(rows);
    Contact out[kMaxShownContacts];
    int n = search_contacts(*table, "person", out, kMaxShownContacts);
    ASSERT_EQ(n, 200);
    EXPECT_STREQ(out[0].name, "Person 0");
    EXPECT_STREQ(out[199].name, "Person 199");
}

// Real widgets, and a session bus with the simulated obexd per test.
class SearchFlow : public testing::Test {
protected:
    uitest::Sandbox sandbox;
    th::TempDir& dir = sandbox.dir;
    th::DbusDaemon bus{dir.path()};
    th::FakeObexd obexd{bus, dir.path()};
    GtkWidget* entry = nullptr;

    void SetUp() override
    {
        uitest::ensure_gtk();
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        obexd.configure("{\"files\": {\"pb\": \"" + th::phonedata_fixture("android_pb.vcf") + "\"}}");
        copy_text(device_addr, "11:22:33:44:55:66");
        current_state = CONNECTED;
        recent_count = 1;   // no automatic call-history sync in these tests
        log_buffer = gtk_text_buffer_new(nullptr);
        contacts_store = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_STRING);
        entry = gtk_search_entry_new();
        g_object_ref_sink(entry);
    }
    void TearDown() override
    {
        th::wait_until([] { return syncing_contacts.load() == 0; });
        g_object_unref(entry);
    }
    void type(const char* text)
    {
        gtk_entry_set_text(GTK_ENTRY(entry), text);
        on_contacts_search_changed(GTK_SEARCH_ENTRY(entry), nullptr);
    }
    std::string shown() const { return unit::store_column(contacts_store, 0); }
    std::string log() const { return unit::buffer_text(log_buffer.load()); }
    void load(const std::vector<std::pair<std::string, std::string>>& rows)
    {
        phonebook_install(table_of(rows));
        phonebook_loaded = 1;
    }
};

TEST_F(SearchFlow, TypingShowsMatchesOnlyWhileConnectedAndOneCharacterEmptiesTheList)
{
    load({{"John Smith", "1"}, {"Joanna Brown", "2"}, {"Bob", "3"}});
    current_state = PAIRED;
    type("jo");
    th::wait_until([] { return false; }, 800);
    EXPECT_EQ(shown(), "");
    EXPECT_EQ(obexd.count("CreateSession"), 0);

    current_state = CONNECTED;
    type("j");
    type("jo");   // only the last change within the debounce leads to a search
    ASSERT_TRUE(th::wait_until([&] { return shown() == "John Smith|Joanna Brown|"; })) << shown();
    EXPECT_EQ(syncing_contacts.load(), 0);
    type("J");
    ASSERT_TRUE(th::wait_until([&] { return shown().empty(); }));
    type("BO");
    ASSERT_TRUE(th::wait_until([&] { return shown() == "Bob|"; })) << shown();
}

TEST_F(SearchFlow, StaleResultsAreDroppedAndTheCurrentTextIsSearched)
{
    load({{"John Smith", "1"}, {"Joanna Brown", "2"}});
    std::string ever_shown;
    g_signal_connect(contacts_store, "row-inserted",
                     G_CALLBACK(+[](GtkTreeModel* model, GtkTreePath*, GtkTreeIter* iter, gpointer seen) {
                         gchar* name = nullptr;
                         gtk_tree_model_get(model, iter, 0, &name, -1);
                         *static_cast<std::string*>(seen) += std::string(name ? name : "") + "|";
                         g_free(name);
                     }),
                     &ever_shown);
    // A search for "jo" is under way when the text becomes "joa".
    syncing_contacts = 1;
    gtk_entry_set_text(GTK_ENTRY(entry), "joa");
    on_contacts_search_changed(GTK_SEARCH_ENTRY(entry), nullptr);
    g_thread_unref(g_thread_new("search_contacts", search_contacts_thread, g_strdup("jo")));
    ASSERT_TRUE(th::wait_until([&] { return shown() == "Joanna Brown|"; })) << shown();
    th::wait_until([] { return false; }, 700);   // past the debounce too
    EXPECT_EQ(shown(), "Joanna Brown|");
    EXPECT_EQ(ever_shown.find("John Smith"), std::string::npos) << "stale results were shown: " << ever_shown;
    EXPECT_EQ(syncing_contacts.load(), 0);
}

TEST_F(SearchFlow, FirstSearchWithoutAPhonebookDownloadsItThenShowsThePendingText)
{
    type("jo");
    ASSERT_TRUE(th::wait_until([&] { return log().find("📥 Loading phonebook for first time...") != std::string::npos; }));
    type("jos");   // changed while the download runs
    ASSERT_TRUE(th::wait_until([&] { return shown() == "José García|"; })) << shown() << log();
    EXPECT_EQ(obexd.count("CreateSession"), 1);
    EXPECT_TRUE(th::file_exists(dir.file("contacts.csv")));
}

TEST_F(SearchFlow, ALargePhonebookShowsItsProgressInTheWindow)
{
    th::write_file("big.vcf", th::generated_vcards(600));
    obexd.configure("{\"files\": {\"pb\": \"" + dir.file("big.vcf") + "\"}, \"slow\": {\"pb\": [3000, 6]}}");
    contacts_progress_label = gtk_label_new("");
    g_object_ref_sink(contacts_progress_label);
    std::vector<std::string> shown;
    g_signal_connect(contacts_progress_label, "notify::label",
                     G_CALLBACK(+[](GObject* label, GParamSpec*, gpointer seen) {
                         static_cast<std::vector<std::string>*>(seen)->push_back(
                             gtk_label_get_text(GTK_LABEL(label)));
                     }),
                     &shown);
    load({{"Old Friend", "1"}});
    on_refresh_phonebook_clicked(nullptr, nullptr);
    ASSERT_TRUE(th::wait_until([&] { return gtk_widget_get_visible(contacts_progress_label); })) << log();
    ASSERT_TRUE(th::wait_until([&] { return log().find("✓ Phonebook loaded: 600 contacts") != std::string::npos; },
                               60000)) << log();
    EXPECT_FALSE(gtk_widget_get_visible(contacts_progress_label));
    // The count climbs while the file grows.
    ASSERT_GE(shown.size(), 2u);
    int last = 0;
    for (const std::string& text : shown) {
        int cards = 0;
        ASSERT_EQ(std::sscanf(text.c_str(), "📥 %d contacts so far", &cards), 1) << text;
        EXPECT_GT(cards, last);
        EXPECT_LE(cards, 600);
        last = cards;
    }
    g_object_unref(contacts_progress_label);
    contacts_progress_label = nullptr;
}

GtkWidget* open_menu_item()
{
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next) {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(l->data));
        if (child && GTK_IS_MENU(child) && gtk_widget_get_visible(child)) {
            GList* items = gtk_container_get_children(GTK_CONTAINER(child));
            found = items ? GTK_WIDGET(items->data) : nullptr;
            g_list_free(items);
        }
    }
    g_list_free(tops);
    return found;
}

TEST_F(SearchFlow, RightClickOffersToCopyTheRowsNumber)
{
    GtkWidget* window_widget = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(contacts_store));
    for (int col = 0; col < 2; ++col)
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), gtk_tree_view_column_new_with_attributes(
                                                             col ? "Number" : "Name", gtk_cell_renderer_text_new(),
                                                             "text", col, nullptr));
    gtk_container_add(GTK_CONTAINER(window_widget), view);
    gtk_window_set_default_size(GTK_WINDOW(window_widget), 300, 300);
    gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, "John Smith", 1, "+49 170 1234567", -1);
    gtk_list_store_insert_with_values(contacts_store, nullptr, -1, 0, "No Number", 1, "", -1);
    gtk_widget_show_all(window_widget);
    ASSERT_TRUE(th::wait_until([&] { return gtk_widget_get_realized(view) && gtk_widget_get_mapped(view); }));
    th::wait_until([] { return false; }, 100);

    auto press = [&](int row, guint button, GdkEventType type_) {
        GdkRectangle cell;
        GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
        gtk_tree_view_get_cell_area(GTK_TREE_VIEW(view), path, nullptr, &cell);
        gtk_tree_path_free(path);
        GdkEvent* event = gdk_event_new(type_);
        event->button.window = GDK_WINDOW(g_object_ref(gtk_tree_view_get_bin_window(GTK_TREE_VIEW(view))));
        event->button.button = button;
        event->button.x = cell.x + 5;
        event->button.y = row < 0 ? 280 : cell.y + cell.height / 2;
        event->button.time = GDK_CURRENT_TIME;
        gdk_event_set_device(event, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
        gboolean consumed = on_contacts_button_press(view, &event->button, nullptr);
        gdk_event_free(event);
        return consumed;
    };
    GtkTreeSelection* selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(view));
    auto selected = [&] {
        GtkTreeModel* model = nullptr;
        GtkTreeIter iter;
        gchar* name = nullptr;
        if (gtk_tree_selection_get_selected(selection, &model, &iter))
            gtk_tree_model_get(model, &iter, 0, &name, -1);
        std::string out = name ? name : "";
        g_free(name);
        return out;
    };

    EXPECT_FALSE(press(0, 1, GDK_BUTTON_PRESS)) << "a left click belongs to the view";
    EXPECT_FALSE(press(0, 3, GDK_2BUTTON_PRESS));
    gtk_tree_selection_unselect_all(selection);
    EXPECT_TRUE(press(-1, 3, GDK_BUTTON_PRESS)) << "empty space: consumed";
    EXPECT_EQ(selected(), "");
    EXPECT_EQ(open_menu_item(), nullptr);
    EXPECT_TRUE(press(1, 3, GDK_BUTTON_PRESS));
    EXPECT_EQ(selected(), "No Number");
    EXPECT_EQ(open_menu_item(), nullptr) << "no number, no menu";

    EXPECT_TRUE(press(0, 3, GDK_BUTTON_PRESS));
    EXPECT_EQ(selected(), "John Smith");
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
    gtk_widget_destroy(window_widget);
}

}  // namespace
