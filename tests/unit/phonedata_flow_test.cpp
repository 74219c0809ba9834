// Refresh, Sync, contact search and obexd start-up in process against the
// simulated obexd: the product's own handlers, threads and list stores.
#include "base/log.h"
#include "ui/log_view.h"
#include "core/text.h"
#include "store/phone_record.h"
#include "store/connection_state.h"
#include "text_helpers.h"
#include "harness.h"
#include "phonedata/obex.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "store/phone_data.h"
#include "phonedata_obexd.h"
#include "ui_gtk.h"
#include "ui/list_views.h"
#include "ui/window.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <thread>

namespace {

const char* kOldContacts = "name,number\n\"Old Friend\",\"+49 30 111222333\"\n";
const char* kOldRecents = "type,name,number,time\n\"📥 Incoming\",\"Old Friend\",\"+49 111\",\"01.01.2024 10:00\"\n";

using unit::store_column;

// A running program's process-wide state, in a test folder with a session bus of its own.
class InProcess : public testing::Test {
protected:
    uitest::Sandbox sandbox;
    th::TempDir& dir = sandbox.dir;
    th::DbusDaemon bus{dir.path()};

    void SetUp() override
    {
        // The test is the main loop: the window's handlers run here.
        ASSERT_TRUE(g_main_context_acquire(nullptr));
        setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
        copy_text(device_addr, "11:22:33:44:55:66");
        current_state = CONNECTED;
        log_buffer = gtk_text_buffer_new(nullptr);
        contacts_store = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_STRING);
        recent_store = gtk_list_store_new(4, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    }
    void TearDown() override { g_main_context_release(nullptr); }
    std::string log() const { return unit::buffer_text(log_buffer.load()); }
    bool wait_log(const std::string& needle, int timeout_ms = 10000) const
    {
        return th::wait_until([&] { return log().find(needle) != std::string::npos; }, timeout_ms);
    }
    int log_count(const std::string& needle) const { return th::occurrences(log(), needle); }
};

class PhoneDataFlow : public InProcess {
protected:
    th::FakeObexd obexd{bus, dir.path()};

    void serve(const std::string& extra = "", const std::string& pb = th::phonedata_fixture("android_pb.vcf"))
    {
        obexd.configure("{\"files\": {\"pb\": \"" + pb + "\", \"ich\": \"" +
                        th::phonedata_fixture("ich.vcf") + "\", \"och\": \"" + th::phonedata_fixture("och.vcf") +
                        "\", \"mch\": \"" + th::phonedata_fixture("mch.vcf") + "\"}" + extra + "}");
    }
    static void press(bool sync)
    {
        sync ? sync_recents() : refresh_phonebook();
    }
    void old_caches()
    {
        th::write_file(sandbox.data_file("contacts.csv"), kOldContacts);
        th::write_file(sandbox.data_file("recents.csv"), kOldRecents);
        load_contacts_csv();
        load_recents_csv();
    }
};

TEST_F(PhoneDataFlow, RefreshReplacesTheTableAndTheCacheAtOnceWhenTheTransferSignalsComplete)
{
    serve();
    old_caches();
    refresh_contacts_view();
    EXPECT_EQ(store_column(contacts_store, 0), "Old Friend|");

    refresh_phonebook();
    EXPECT_EQ(store_column(contacts_store, 0), "Old Friend|") << "the known contacts stay listed meanwhile";
    ASSERT_TRUE(wait_log("✓ Phonebook loaded: 4 contacts")) << log();
    EXPECT_EQ(phonebook_loaded.load(), 1);
    EXPECT_EQ(th::read_file(sandbox.data_file("contacts.csv")).substr(0, 43),
              "name,number\n\"John Smith\",\"+49 170 1234567\"\n");
    EXPECT_EQ(store_column(contacts_store, 0), "John Smith|José García|山田太郎のとても長い名前|Joanna Brown|")
        << "no search text: the whole new list";
    // The signal ended the wait: polling never sees "complete" before obexd drops the object.
    int gets = 0;
    for (const auto& call : obexd.calls())
        gets += call.find("\"Get\"") != std::string::npos && call.find("transfer") != std::string::npos;
    EXPECT_LE(gets, 2);

    char name[128] = "";
    EXPECT_TRUE(phonebook_name_for_caller("02079460958", name, sizeof name));
    EXPECT_STREQ(name, "Joanna Brown");
    EXPECT_FALSE(phonebook_name_for_caller("958", name, sizeof name));
    EXPECT_FALSE(phonebook_name_exact("+49 30 111222333", name, sizeof name)) << "the old table is gone";
    // Call history was in memory from its cache: no automatic sync.
    EXPECT_EQ(obexd.count("CreateSession"), 1);
}

TEST_F(PhoneDataFlow, SyncAndRefreshOverlappingInEitherOrderBothComplete)
{
    // One obexd session per phone: one exchange's Select or RemoveSession would ruin the other's.
    const char* contacts =
        "name,number\n\"John Smith\",\"+49 170 1234567\"\n\"José García\",\"+34 600 111 222\"\n"
        "\"山田太郎のとても長い名前\",\"090-1234-5678\"\n\"Joanna Brown\",\"+44 20 7946 0958\"\n";
    const char* recents = "type,name,number,time\n"
                          "\"📤 Outgoing\",\"John Smith\",\"+49 170 1234567\",\"01.02.2024 12:00\"\n"
                          "\"📥 Incoming\",\"John Smith\",\"+49 170 1234567\",\"31.01.2024 10:15\"\n"
                          "\"❌ Missed\",\"Joanna Brown\",\"+44 20 7946 0958\",\"31.01.2024 09:45\"\n"
                          "\"📥 Incoming\",\"-\",\"+49 30 999\",\"29.01.2024 08:00\"\n"
                          "\"❌ Missed\",\"-\",\"+1 555 0100\",\"2024-01-31\"\n"
                          "\"❌ Missed\",\"No Date\",\"+1 555 0111\",\"-\"\n";
    serve(", \"complete_delay_ms\": 600");
    for (bool sync_first : {true, false}) {
        SCOPED_TRACE(sync_first ? "Sync, then Refresh" : "Refresh, then Sync");
        old_caches();
        int loaded = log_count("✓ Phonebook loaded");
        press(sync_first);
        th::wait_until([] { return false; }, 300);
        press(!sync_first);
        ASSERT_TRUE(th::wait_until([&] {
            return syncing_contacts.load() == 0 && syncing_recents.load() == 0 &&
                   log_count("✓ Phonebook loaded") == loaded + 1;
        }, 30000)) << log();
        EXPECT_EQ(th::read_file(sandbox.data_file("contacts.csv")), contacts);
        EXPECT_EQ(th::read_file(sandbox.data_file("recents.csv")), recents);
    }
}

// However a transfer fails or the phone sends nothing usable, caches, list and caller names stay.
TEST_F(PhoneDataFlow, RefreshOrSyncThatFailsOrBringsNothingKeepsCachesListsAndCallerNames)
{
    obex::transfer_stall_limit_ms = 1000;
    th::write_file("nameless.vcf", "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:\r\nN:;;;;\r\nEND:VCARD\r\n");
    const std::string history = ": [\"ich\", \"och\", \"mch\"]";
    const struct { bool sync; std::string behaviour, pb; } rows[] = {
        {true, ", \"select_refused\"" + history, th::phonedata_fixture("android_pb.vcf")},
        {true, ", \"never_complete\"" + history, th::phonedata_fixture("android_pb.vcf")},
        {true, ", \"file_gone\": [\"och\"]", th::phonedata_fixture("android_pb.vcf")},
        {false, ", \"transfer_error\": [\"pb\"]", th::phonedata_fixture("android_pb.vcf")},
        {false, "", dir.file("nameless.vcf")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.behaviour + row.pb);
        serve(row.behaviour, row.pb);
        old_caches();
        refresh_recents_view();
        on_contacts_search_changed(nullptr, nullptr);
        press(row.sync);
        ASSERT_TRUE(th::wait_until([] { return syncing_contacts.load() == 0 && syncing_recents.load() == 0; }, 30000))
            << log();
        EXPECT_EQ(th::read_file(sandbox.data_file("contacts.csv")), kOldContacts);
        EXPECT_EQ(th::read_file(sandbox.data_file("recents.csv")), kOldRecents);
        EXPECT_EQ(store_column(recent_store, 1), "Old Friend|");
        EXPECT_EQ(recent_count, row.sync ? 0 : 1);
        // The known contacts stay listed and searchable.
        EXPECT_EQ(phonebook_loaded.load(), 1);
        EXPECT_EQ(store_column(contacts_store, 0), "Old Friend|");
        char name[128] = "";
        EXPECT_TRUE(phonebook_name_for_caller("0301 11222333", name, sizeof name));
        EXPECT_STREQ(name, "Old Friend");
    }
    EXPECT_EQ(log_count("⚠️ Recent calls not retrieved"), 3) << log();
    EXPECT_EQ(log_count("⚠️ Contacts not retrieved"), 1) << log();
    EXPECT_EQ(log_count("⚠️ The phone sent no contacts: is contact sharing allowed on the phone?"), 1) << log();
    EXPECT_EQ(log().find("✓ Phonebook loaded"), std::string::npos) << log();
    EXPECT_EQ(obexd.count("RemoveSession"), 5);
}

TEST_F(PhoneDataFlow, RefreshAndSyncRefuseWhenNotConnectedBusyOrWithoutAnAddress)
{
    th::write_file(sandbox.data_file("contacts.csv"), kOldContacts);
    load_contacts_csv();
    refresh_contacts_view();
    current_state = PAIRED;
    refresh_phonebook();
    sync_recents();
    ASSERT_TRUE(wait_log("⚠️ Phone must be connected for recent calls"));
    EXPECT_NE(log().find("⚠️ Phone must be connected for contacts"), std::string::npos);
    EXPECT_EQ(store_column(contacts_store, 0), "Old Friend|");

    current_state = CONNECTED;
    syncing_contacts = 1;
    refresh_phonebook();
    ASSERT_TRUE(wait_log("⚠️ Contacts already loading…"));
    EXPECT_EQ(store_column(contacts_store, 0), "Old Friend|");
    syncing_contacts = 0;

    // No phone address: no session is even asked for.
    serve();
    device_addr[0] = '\0';
    sync_recents();
    ASSERT_TRUE(wait_log("⚠️ Recent calls not retrieved")) << log();
    EXPECT_EQ(obexd.count("CreateSession"), 0);
}

TEST_F(PhoneDataFlow, SyncMergesTheListsThatArriveSortsNewestFirstAndSkipsOneThatNeverCompletes)
{
    // Select on "int" is refused (the empty location works); the outgoing list fails.
    serve(", \"select_int_refused\": true, \"pullall_error\": [\"och\"]");
    th::write_file(sandbox.data_file("recents.csv"), kOldRecents);
    load_recents_csv();
    refresh_recents_view();
    EXPECT_EQ(store_column(recent_store, 1), "Old Friend|");

    sync_recents();
    sync_recents();   // a second click while the first runs
    ASSERT_TRUE(wait_log("✓ Recent calls updated")) << log();
    EXPECT_EQ(obexd.count("CreateSession"), 1);
    EXPECT_EQ(store_column(recent_store, 0), "📥 Incoming|❌ Missed|📥 Incoming|❌ Missed|❌ Missed|");
    EXPECT_EQ(store_column(recent_store, 1), "John Smith|Joanna Brown|-|-|No Date|");
    EXPECT_EQ(store_column(recent_store, 3), "31.01.2024 10:15|31.01.2024 09:45|29.01.2024 08:00|2024-01-31|-|");
    EXPECT_NE(th::read_file(sandbox.data_file("recents.csv")).find("\"❌ Missed\",\"Joanna Brown\",\"+44 20 7946 0958\",\"31.01.2024 09:45\""),
              std::string::npos);
    EXPECT_EQ(syncing_recents.load(), 0);

    // A list whose transfer never completes is skipped, not read half written.
    obex::transfer_stall_limit_ms = 1000;
    serve(", \"never_complete\": [\"ich\"], \"pbap_delay_ms\": 400");   // PBAP comes late as well
    sync_recents();
    ASSERT_TRUE(th::wait_until([&] { return log_count("✓ Recent calls updated") == 2; }, 30000)) << log();
    EXPECT_EQ(store_column(recent_store, 0), "📤 Outgoing|❌ Missed|❌ Missed|❌ Missed|");
}

TEST_F(PhoneDataFlow, ConnectionPreloadAndSyncStartObexdOnce)
{
    serve();
    start_phonebook_preload();
    start_phonebook_preload();   // already under way: no second download
    sync_recents();
    ASSERT_TRUE(wait_log("✓ Phonebook loaded: 4 contacts")) << log();
    ASSERT_TRUE(wait_log("✓ Recent calls updated")) << log();
    EXPECT_EQ(log_count("ℹ️ Starting obexd service…"), 1) << log();
    EXPECT_EQ(obexd.count("CreateSession"), 2);
    EXPECT_EQ(obexd.count("RemoveSession"), 2);
}

TEST_F(PhoneDataFlow, TransferEndsAsItsSignalOrItsStatusSaysAndIsWaitedForWhileItMoves)
{
    using End = obex::TransferWatch::End;
    // Steps of 250 ms against a stall limit of 1 s: slow, but always moving.
    const std::pair<const char*, End> rows[] = {
        {"", End::COMPLETE},
        {", \"complete_delay_ms\": 0", End::COMPLETE},   // before the PullAll reply is read
        {", \"transfer_error\": [\"pb\"]", End::FAILED},
        {", \"vanish\": [\"pb\"]", End::FAILED},   // without a final status
        {", \"never_complete\": [\"pb\"]", End::STALLED},
        {", \"slow\": {\"pb\": [3000, 12]}, \"silent_progress\": true", End::COMPLETE},   // only its file grows
    };
    obex::transfer_stall_limit_ms = 1000;
    ASSERT_EQ(ensure_obexd_running(), 1);
    GDBusConnection* conn = obex_conn.load();
    std::string session = obex::create_session(conn, device_addr);
    ASSERT_FALSE(session.empty());
    ASSERT_TRUE(th::wait_until([&] { return obex::session_has_phonebook(conn, session); }));
    ASSERT_TRUE(obex::select(conn, session, "int", "pb", obex::kSelectPhonebookTimeoutMs));
    for (const auto& [behaviour, expected] : rows) {
        SCOPED_TRACE(behaviour);
        serve(behaviour);
        obex::TransferWatch watch(conn);
        obex::Pull pull = obex::pull_all(conn, session, false);
        ASSERT_TRUE(pull.replied);
        ASSERT_FALSE(pull.transfer.empty());
        EXPECT_FALSE(pull.filename.empty());
        EXPECT_EQ(int(watch.wait(pull.transfer, pull.filename, 50)), int(expected));
    }
    obex::remove_session(conn, session);
    EXPECT_EQ(obexd.count("RemoveSession"), 1);
}

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
    auto table = table_of({{"John Smith", "+49 170 1234567"}, {"Joanna Brown", "555 12 34"}, {"Bob Major", "5551234"},
                           {"ÉMILE ZOLA", "+33 1 55"}, {"Anna", "0 800 JOJO"}});
    // Names match lower-cased; the number only as typed.
    const std::pair<const char*, std::string> cases[] = {
        {"jo", "John Smith|Joanna Brown|Bob Major|"}, {"JO", "John Smith|Joanna Brown|Bob Major|Anna|"},
        {"555 12", "Joanna Brown|"}, {"5551", "Bob Major|"}, {"émile", "ÉMILE ZOLA|"}, {"j", ""},
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

// Typing into a real search entry; no automatic call-history sync.
class SearchFlow : public PhoneDataFlow {
protected:
    GtkWidget* entry = nullptr;

    void SetUp() override
    {
        uitest::ensure_gtk();   // first, as it points the process at no session bus
        PhoneDataFlow::SetUp();
        serve();
        recent_count = 1;
        entry = g_object_ref_sink(gtk_search_entry_new());
    }
    void TearDown() override
    {
        th::wait_until([] { return syncing_contacts.load() == 0; });
        g_object_unref(entry);
        PhoneDataFlow::TearDown();
    }
    void type(const char* text)
    {
        gtk_entry_set_text(GTK_ENTRY(entry), text);
        on_contacts_search_changed(GTK_SEARCH_ENTRY(entry), nullptr);
    }
    std::string shown() const { return store_column(contacts_store, 0); }
    void load(const std::vector<std::pair<std::string, std::string>>& rows)
    {
        phonebook_install(table_of(rows));
        phonebook_loaded = 1;
    }
};

// Results are there when the handler returns: no pause, no worker. The
// phone's absence changes nothing for contacts already known.
TEST_F(SearchFlow, TypingSearchesTheKnownContactsAtOnceWhetherThePhoneIsThereOrNot)
{
    load({{"John Smith", "1"}, {"Joanna Brown", "2"}, {"Bob", "3"}});
    for (AppState state : {PAIRED, IDLE, CONNECTED}) {
        SCOPED_TRACE(state_names[state]);
        current_state = state;
        const std::pair<const char*, const char*> rows[] = {
            {"jo", "John Smith|Joanna Brown|"}, {"J", "John Smith|Joanna Brown|Bob|"}, {"BO", "Bob|"},
            {"xyz", ""}, {"", "John Smith|Joanna Brown|Bob|"},
        };
        for (const auto& [text, expected] : rows) {
            type(text);
            EXPECT_EQ(shown(), expected) << text;
        }
    }
    EXPECT_EQ(obexd.count("CreateSession"), 0);
    EXPECT_EQ(syncing_contacts.load(), 0);
}

// After a download the list shows what came: the search in the entry is run again.
TEST_F(SearchFlow, ADownloadReRunsTheSearchInTheEntry)
{
    load({{"Old Friend", "1"}});
    type("jo");
    EXPECT_EQ(shown(), "");
    refresh_phonebook();
    ASSERT_TRUE(wait_log("✓ Phonebook loaded: 4 contacts")) << log();
    EXPECT_EQ(shown(), "John Smith|José García|Joanna Brown|");
    type("");
    EXPECT_EQ(shown(), "John Smith|José García|山田太郎のとても長い名前|Joanna Brown|");
}

TEST_F(SearchFlow, FirstSearchWithoutAPhonebookDownloadsItThenShowsThePendingText)
{
    type("jo");
    ASSERT_TRUE(wait_log("📥 Loading phonebook for first time…"));
    type("jos");   // changed while the download runs
    ASSERT_TRUE(th::wait_until([&] { return shown() == "José García|"; })) << shown() << log();
    // The phonebook was asked for once although the text changed (the call
    // history may follow the download in a session of its own).
    int phonebook_pulls = 0;
    for (const auto& call : obexd.calls())
        phonebook_pulls += call.find("\"method\": \"Select\"") != std::string::npos &&
                           call.find("\"pb\"") != std::string::npos;
    EXPECT_EQ(phonebook_pulls, 1) << log();
    EXPECT_TRUE(th::file_exists(sandbox.data_file("contacts.csv")));
}

TEST_F(SearchFlow, ALargePhonebookShowsItsProgressInTheWindow)
{
    th::write_file("big.vcf", th::generated_vcards(600));
    obexd.configure("{\"files\": {\"pb\": \"" + dir.file("big.vcf") + "\"}, \"slow\": {\"pb\": [3000, 6]}}");
    contacts_progress_label = GTK_WIDGET(g_object_ref_sink(gtk_label_new("")));
    std::vector<std::string> shown;
    g_signal_connect(contacts_progress_label, "notify::label",
                     G_CALLBACK(+[](GObject* label, GParamSpec*, gpointer seen) {
                         static_cast<std::vector<std::string>*>(seen)->push_back(
                             gtk_label_get_text(GTK_LABEL(label)));
                     }),
                     &shown);
    load({{"Old Friend", "1"}});
    refresh_phonebook();
    ASSERT_TRUE(th::wait_until([&] { return gtk_widget_get_visible(contacts_progress_label); })) << log();
    ASSERT_TRUE(wait_log("✓ Phonebook loaded: 600 contacts", 60000)) << log();
    EXPECT_FALSE(gtk_widget_get_visible(contacts_progress_label));
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

// obexd start-up on a bus where nothing answers and nothing is activated by the bus.
class ObexdStartup : public InProcess {
protected:
    std::string standin_dir = dir.file("bin");

    void SetUp() override
    {
        InProcess::SetUp();
        // A stand-in named obexd: records how it was started, then serves.
        mkdir(standin_dir.c_str(), 0700);
        th::write_file(standin_dir + "/obexd",
                       "#!/bin/sh\necho \"$0 $*\" >> " + dir.file("standin.args") + "\necho \"$DBUS_SESSION_BUS_ADDRESS\" >> " +
                           dir.file("standin.env") + "\necho $$ > " + dir.file("standin.pid") +
                           "\nexec /usr/bin/python3 " TELVANE_SOURCE_DIR "/tools/fake-obexd/fake_obexd.py " +
                           dir.file("cfg.json") + " " + dir.file("calls") + " " + dir.path() + "\n");
        chmod((standin_dir + "/obexd").c_str(), 0755);
    }
    void TearDown() override
    {
        std::string pid = th::read_file(dir.file("standin.pid"));
        if (!pid.empty())
            kill(std::atoi(pid.c_str()), SIGKILL);
        InProcess::TearDown();
    }
};

TEST_F(ObexdStartup, CandidatesAreTriedInOrderAndOnlyOneStartRuns)
{
    const obex::Startup startup{{dir.file("missing/obexd"), dir.file("also-missing/obexd"), "obexd"}, 100, 100, 50};
    // Not on the search path yet: nothing to start, said after the last candidate.
    EXPECT_EQ(obex::ensure_running(startup), 0);
    EXPECT_EQ(obex_conn.load(), nullptr);
    ASSERT_TRUE(wait_log("⚠️ Failed to start obexd")) << log();
    EXPECT_EQ(log().find("establishing connection"), std::string::npos);

    std::string path = standin_dir + ":" + (g_getenv("PATH") ? g_getenv("PATH") : "");
    setenv("PATH", path.c_str(), 1);
    int results[2] = {-1, -1};
    {
        std::jthread a([&] { results[0] = obex::ensure_running(startup); });
        std::jthread b([&] { results[1] = obex::ensure_running(startup); });
    }
    EXPECT_EQ(std::pair(results[0], results[1]), std::pair(1, 1));
    ASSERT_NE(obex_conn.load(), nullptr);
    // The third candidate, from the search path, started once with -n and the bus address.
    EXPECT_EQ(th::read_file(dir.file("standin.args")), standin_dir + "/obexd -n\n");
    EXPECT_EQ(th::read_file(dir.file("standin.env")), bus.address() + "\n");
    EXPECT_EQ(ensure_obexd_running(), 1);
    EXPECT_EQ(th::read_file(dir.file("standin.args")), standin_dir + "/obexd -n\n");
}

TEST(ObexdSessionBus, AddressComesFromTheEnvironmentOrTheSudoUsersRuntimeFolder)
{
    auto exists = [](const char* path) { return std::string(path) == "/run/user/1000/bus"; };
    const std::string none = "⚠️ Session bus not found", found = "ℹ️ Found user session bus",
                      user_bus = "unix:path=/run/user/1000/bus";
    const struct { const char *what, *env_address; bool root; const char *sudo_user, *sudo_uid;
        std::string address, user, line; } cases[] = {
        {"root keeps the variable", "unix:path=/x", true, "alice", "1000", "unix:path=/x", "",
         "ℹ️ Using existing session bus"},
        {"empty variable, not root", "", false, "alice", "1000", "", "", none},
        {"root without SUDO_UID", nullptr, true, "alice", nullptr, "", "", none},
        {"root, nothing at the path", nullptr, true, "alice", "1001", "", "", none},
        {"root under sudo", nullptr, true, "alice", "1000", user_bus, "alice", found},
        {"root, SUDO_UID only", nullptr, true, nullptr, "1000", user_bus, "", found},
    };
    for (const auto& c : cases) {
        obex::SessionBus bus = obex::find_session_bus(c.env_address, c.root, c.sudo_user, c.sudo_uid, exists);
        EXPECT_EQ(std::tuple(bus.address, bus.sudo_user, std::string(bus.log_line)),
                  std::tuple(c.address, c.user, c.line)) << c.what;
    }
}

}  // namespace
