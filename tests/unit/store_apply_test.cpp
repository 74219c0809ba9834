// The store's apply: events as the links post them, from another thread,
// in; the lists, their flags, the cache files and the rendered rows out.
#include "base/events.h"
#include "store/phone_record.h"
#include "store/connection_state.h"
#include "connection/adapter.h"
#include "core/views.h"
#include "core/text.h"
#include "phonedata/phonebook.h"
#include "store/phone_data.h"
#include "text_helpers.h"
#include "ui/log_view.h"
#include "ui/list_views.h"
#include "ui/window.h"
#include "ui_gtk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using unit::store_column;

std::shared_ptr<PhonebookTable> table_of(std::initializer_list<std::pair<const char*, const char*>> rows)
{
    auto table = std::make_shared<PhonebookTable>();
    for (auto [name, number] : rows) {
        copy_text(table->rows[table->count].name, name);
        copy_text(table->rows[table->count].number, number);
        ++table->count;
    }
    return table;
}

std::shared_ptr<HistoryRead> history_of(bool success, bool emptied, std::initializer_list<const char*> names)
{
    auto read = std::make_shared<HistoryRead>();
    read->success = success;
    read->emptied = emptied;
    for (const char* name : names) {
        RecentEntry& row = read->rows[read->count++];
        copy_text(row.type, "📥 Incoming");
        copy_text(row.name, name);
        copy_text(row.number, "+49 111");
        copy_text(row.time, "01.01.2024 10:00");
    }
    return read;
}

class StoreApply : public testing::Test {
protected:
    uitest::Sandbox sandbox;

    void SetUp() override
    {
        ASSERT_TRUE(g_main_context_acquire(nullptr));
        log_buffer = gtk_text_buffer_new(nullptr);
        contacts_store = gtk_list_store_new(2, G_TYPE_STRING, G_TYPE_STRING);
        recent_store = gtk_list_store_new(4, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    }
    void TearDown() override { g_main_context_release(nullptr); }

    // Posted from a thread of its own, as a link does, then applied.
    static void post_from_worker(Event event)
    {
        std::thread([&event] { post_event(std::move(event)); }).join();
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    static std::string log() { return unit::buffer_text(log_buffer.load()); }
};

TEST_F(StoreApply, APhonebookReadSettlesTheFlagsAndTheListShowsWhatIsKnown)
{
    struct Case {
        const char* name;
        std::shared_ptr<PhonebookTable> known;   // installed before
        std::shared_ptr<PhonebookTable> read;    // what the download brought (null: failed)
        bool keeps_known;
        const char* search;
        const char* shown;                       // the Contacts list after
        const char* line;                        // in the log
        int loaded;
    };
    const Case cases[] = {
        {"a new phonebook replaces the known one", table_of({{"Old Friend", "+49 30 1"}}),
         table_of({{"Anna", "+49 170 1"}, {"Bert", "+49 170 2"}}), false, "", "Anna|Bert|",
         "✓ Phonebook loaded: 2 contacts", 1},
        {"a failed download keeps the known list and says so", table_of({{"Old Friend", "+49 30 1"}}), nullptr, false,
         "", "Old Friend|", "⚠️ Contacts not retrieved", 0},
        {"a phone that shares no contacts leaves the known ones", table_of({{"Old Friend", "+49 30 1"}}),
         table_of({}), true, "", "Old Friend|", "", 1},
        {"the text in the search entry is searched in the new list", table_of({}),
         table_of({{"Anna", "+49 170 1"}, {"Bert", "+49 170 2"}, {"Annette", "+49 170 3"}}), false, "ann",
         "Anna|Annette|", "✓ Phonebook loaded: 3 contacts", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        phonebook_install(c.known);
        phonebook_loaded = 0;
        syncing_contacts = 1;
        current_state = PAIRED;   // no call-history sync follows
        search_phonebook(c.search);
        gtk_text_buffer_set_text(log_buffer.load(), "", -1);
        if (c.read)
            c.read->keeps_known = c.keeps_known;

        post_from_worker(ContactsProgress{c.read ? c.read->count : 0});
        post_from_worker(PhonebookRead{c.read});

        EXPECT_EQ(syncing_contacts.load(), 0);
        EXPECT_EQ(phonebook_loaded.load(), c.loaded);
        EXPECT_EQ(store_column(contacts_store, 0), c.shown);
        if (*c.line) {
            EXPECT_NE(log().find(c.line), std::string::npos) << log();
        }
    }
}

TEST_F(StoreApply, ARecentsReadReplacesTheListAndItsCacheOnlyWhenItSucceeded)
{
    struct Case {
        const char* name;
        std::shared_ptr<HistoryRead> read;
        const char* shown;   // the Recent Calls list after
        int count;           // recent_count after
        bool cache_rewritten;
    };
    const Case cases[] = {
        {"a read history replaces the list and the cache", history_of(true, true, {"Anna", "Bert"}), "Anna|Bert|", 2,
         true},
        {"a failed read keeps list and cache; the count asks for another try", history_of(false, true, {}),
         "Old Friend|", 0, false},
        {"a failed read before the phone could be asked keeps the count too", history_of(false, false, {}),
         "Old Friend|", 1, false},
    };
    const char* old_recents = "type,name,number,time\n\"📥 Incoming\",\"Old Friend\",\"+49 111\",\"01.01.2024 10:00\"\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        th::write_file(sandbox.data_file("recents.csv"), old_recents);
        load_recents_csv();
        refresh_recents_view();
        ASSERT_EQ(store_column(recent_store, 1), "Old Friend|");

        post_from_worker(RecentsSyncStarted{});
        EXPECT_EQ(syncing_recents.load(), 1);
        post_from_worker(RecentsRead{c.read});

        EXPECT_EQ(syncing_recents.load(), 0);
        EXPECT_EQ(recent_count, c.count);
        EXPECT_EQ(store_column(recent_store, 1), c.shown);
        EXPECT_EQ(th::read_file(sandbox.data_file("recents.csv")) != old_recents, c.cache_rewritten);
    }
}

// The connection's news, told on the main loop by BlueZ's signals, the agent
// and the buttons: the state it leaves, what the header says, what is logged.
TEST_F(StoreApply, TheConnectionsNewsMovesTheStateOnlyWhereItMeansSomething)
{
    const char* kPhone = "/org/bluez/hci0/dev_00_11_22_33_44_55";
    const char* kOther = "/org/bluez/hci0/dev_66_77_88_99_AA_BB";
    struct Case {
        const char* name;
        AppState before;
        bool discoverable;     // a discoverable session runs
        const char* phone;     // device_path before
        Event event;
        AppState after;
        const char* info;      // the header's second line after, as it starts
        const char* line;      // in the log ("" none checked)
        const char* phone_after;
    };
    const Case cases[] = {
        {"a cancel outside pairing changes nothing", PAIRED, false, kPhone, PairingCancelled{}, PAIRED, "", "", kPhone},
        {"a pairing the phone abandons goes back to discoverable", PAIRING, true, kOther, PairingCancelled{},
         DISCOVERABLE, "", "", kOther},
        {"a confirmation while connected keeps the connected phone", CONNECTED, true, kPhone,
         PairingConfirmed{kOther}, CONNECTED, "", "", kPhone},
        {"a confirmation while discoverable records the phone that pairs", DISCOVERABLE, true, "",
         PairingConfirmed{kOther}, PAIRING, "", "", kOther},
        {"the adapter gone while discoverable: ERROR says what to do", DISCOVERABLE, false, "", AdapterRemoved{},
         ERROR, "Error: No Bluetooth adapter: plug one in", "", ""},
        {"the adapter gone while paired: the phone waits", PAIRED, false, kPhone, AdapterRemoved{}, PAIRED, "", "",
         kPhone},
        {"discoverability ended while pairing: Start is offered and hinted", PAIRING, false, "",
         DiscoverabilityEnded{"after 3 minutes"}, IDLE, "",
         "ℹ️ Discoverability ended after 3 minutes: press Start to pair a phone", ""},
        {"discoverability ended while connected: no hint at a greyed Start", CONNECTED, false, kPhone,
         DiscoverabilityEnded{"by the Bluetooth service"}, CONNECTED, "",
         "ℹ️ Discoverability ended by the Bluetooth service\n", kPhone},
        {"a late auto-connect failure leaves the phone that came in", CONNECTED, false, kPhone,
         AutoConnectDone{false}, CONNECTED, "", "ℹ️ Auto connection failed, phone already connected", kPhone},
        {"an auto-connect failure: the phone can connect", CONNECTING, false, kPhone, AutoConnectDone{false}, PAIRED,
         "", "⚠️ Auto connection failed, phone can connect", kPhone},
        {"a failed step shows its text", IDLE, false, "", ConnectionFailed{"D-Bus error: no bus"}, ERROR,
         "Error: D-Bus error: no bus", "", ""},
        {"BlueZ gone: the phone is forgotten, ERROR kept", ERROR, false, kPhone, BluetoothServiceStopped{}, ERROR, "",
         "", ""},
        {"BlueZ gone while connected: IDLE, phone forgotten", CONNECTED, false, kPhone, BluetoothServiceStopped{},
         IDLE, "", "", ""},
        {"the phone removed from BlueZ while paired: forgotten", PAIRED, false, kPhone, PhoneRemoved{}, IDLE, "",
         "🗑️ Device removed", ""},
        {"Disconnect during a discoverable session rests there", CONNECTED, true, kPhone, PhoneLetGo{}, DISCOVERABLE,
         "", "", kPhone},
        {"the phone in range while not paired: nothing is tried", IDLE, false, "", PhoneInRange{}, IDLE, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        current_state = c.before;
        discoverable_session = c.discoverable;
        copy_text(device_path, c.phone);
        device_paired = 0;
        error_msg[0] = '\0';
        gtk_text_buffer_set_text(log_buffer.load(), "", -1);

        deliver_event(c.event);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }

        EXPECT_EQ(state_names[current_state.load()], std::string(state_names[c.after]));
        EXPECT_STREQ(device_path, c.phone_after);
        StatusView v = status_view_for(static_cast<AppState>(current_state.load()), device_name, device_addr,
                                       error_msg, false, false);
        EXPECT_EQ(v.info_text.rfind(c.info, 0), 0u) << v.info_text;
        if (*c.line) {
            EXPECT_NE(log().find(c.line), std::string::npos) << log();
        }
        set_state(IDLE);   // no pairing timer or reconnect try left for the next row
    }
}

}  // namespace
