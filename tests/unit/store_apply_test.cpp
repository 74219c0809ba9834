// The store's apply: events as the links post them, from another thread,
// in; the lists, their flags, the cache files and the rendered rows out.
#include "base/events.h"
#include "connection/phone_record.h"
#include "connection/state.h"
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

}  // namespace
