// Contact search as the user types, and the list views' right click, in
// process with real GTK widgets under Xvfb.
#include "app/log.h"
#include "app/text.h"
#include "connection/device.h"
#include "connection/state.h"
#include "text_helpers.h"
#include "harness.h"
#include "ui_gtk.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "phonedata/search.h"
#include "phonedata_obexd.h"
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

    // Three hundred matches show the first two hundred, in phonebook order.
    std::vector<std::pair<std::string, std::string>> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back({"Person " + std::to_string(i), "+49 170 " + std::to_string(i)});
    ASSERT_EQ(search_contacts(*table_of(rows), "person", out, kMaxShownContacts), 200);
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

}  // namespace
