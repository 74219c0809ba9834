#include "store/phone_data.h"

#include "base/changes.h"
#include "base/log.h"
#include "base/paths.h"
#include "store/phone_record.h"
#include "store/connection_state.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"

#include <algorithm>
#include <cstring>

Contact contacts[kMaxShownContacts];
int contacts_count = 0;
std::atomic<int> phonebook_loaded{0};
std::atomic<int> syncing_contacts{0};
RecentEntry recent_entries[kMaxRecents];
int recent_count = 0;
std::atomic<int> syncing_recents{0};

namespace {

std::string pending_search_query;   // main loop only

}  // namespace

void load_contacts_csv()
{
    auto table = read_contacts_cache();
    if (!table)
        return;
    int count = table->count;
    contacts_count = std::min(count, kMaxShownContacts);
    std::memcpy(contacts, table->rows, sizeof(Contact) * size_t(contacts_count));
    phonebook_install(std::move(table));
    phonebook_loaded = 1;
    log_msgf("📂 Loaded %d contacts from CSV", count);
}

void save_contacts_csv() { save_contacts_table(*phonebook_snapshot(), contacts_path().c_str()); }

void load_recents_csv()
{
    recent_count = read_recents_cache(recent_entries, kMaxRecents);
    if (recent_count > 0)
        log_msgf("📂 Loaded %d call records from CSV", recent_count);
}

void save_recents_csv() { save_recents_cache(recent_entries, recent_count); }

void refresh_phonebook()
{
    if (current_state.load() != CONNECTED) {
        log_msg("⚠️ Phone must be connected for contacts");
        return;
    }
    if (syncing_contacts.load()) {
        log_msg("⚠️ Contacts already loading…");
        return;
    }
    // The known contacts stay listed, searchable and used for caller names
    // until a new phonebook has fully arrived.
    syncing_contacts = 1;
    state_changed(Change::ContactsBusy, 1);
    log_msg("📥 Refreshing contacts…");
    start_phonebook_download("load_phonebook", device_addr);
}

void start_phonebook_preload()
{
    if (phonebook_loaded.load() || syncing_contacts.load())
        return;
    syncing_contacts = 1;
    start_phonebook_download("preload_phonebook", device_addr);
}

void start_recents_sync(const char* thread_name)
{
    syncing_recents = 1;
    start_history_read(thread_name, device_addr);
}

void sync_recents()
{
    if (current_state.load() != CONNECTED) {
        log_msg("⚠️ Phone must be connected for recent calls");
        return;
    }
    if (syncing_recents.load()) {
        log_msg("⚠️ Recent calls already retrieving…");
        return;
    }
    log_msg("📥 Retrieving recent calls…");
    start_recents_sync("pbap_recents");
}

const std::string& pending_search_text() { return pending_search_query; }

void show_search_results()
{
    auto table = phonebook_snapshot();
    if (pending_search_query.size() < kMinSearchBytes) {
        contacts_count = std::min(table->count, kMaxShownContacts);
        std::memcpy(contacts, table->rows, sizeof(Contact) * size_t(contacts_count));
    } else {
        contacts_count = search_contacts(*table, pending_search_query.c_str(), contacts, kMaxShownContacts);
    }
    state_changed(Change::Contacts);
}

void search_phonebook(const char* text)
{
    pending_search_query = text ? text : "";
    // Nothing known yet: the phone, when it is there, is asked once; its
    // completion searches the text then in the entry.
    if (pending_search_query.size() >= kMinSearchBytes && phonebook_snapshot()->count == 0 &&
        !phonebook_loaded.load() && !syncing_contacts.load() && current_state.load() == CONNECTED) {
        syncing_contacts = 1;
        state_changed(Change::ContactsBusy, 1);
        log_msg("📥 Loading phonebook for first time…");
        start_phonebook_download("load_phonebook", device_addr);
    }
    show_search_results();
}

void apply_phone_connected(const PhoneConnected&)
{
    if (current_state.load() != CONNECTED)
        return;
    if (!phonebook_loaded.load() && !syncing_contacts.load())
        log_msg("📥 Loading data in background…");
    start_phonebook_preload();
}

void apply_contacts_progress(const ContactsProgress& event)
{
    state_changed(Change::ContactsProgress, event.cards);
}

void apply_phonebook_read(const PhonebookRead& event)
{
    syncing_contacts = 0;
    state_changed(Change::ContactsBusy, 0);
    state_changed(Change::ContactsProgress, -1);
    if (event.table && event.table->keeps_known) {
        phonebook_loaded = 1;
    } else if (event.table) {
        phonebook_install(event.table);
        phonebook_loaded = 1;
        log_msgf("✓ Phonebook loaded: %d contacts", phonebook_snapshot()->count);
    } else {
        log_msg("⚠️ Contacts not retrieved");
    }
    // The list shows what is known now, for the text in the search entry.
    show_search_results();
    if (current_state.load() == CONNECTED && syncing_recents.load() == 0 && recent_count == 0)
        start_recents_sync("load_recents");
    update_ui();
}

void apply_recents_sync_started(const RecentsSyncStarted&)
{
    syncing_recents = 1;
    state_changed(Change::RecentsBusy, 1);
}

void apply_recents_read(const RecentsRead& event)
{
    const HistoryRead& result = *event.result;
    syncing_recents = 0;
    state_changed(Change::RecentsBusy, 0);
    if (result.success) {
        recent_count = result.count;
        std::memcpy(recent_entries, result.rows, sizeof(RecentEntry) * size_t(result.count));
        save_recents_csv();
        state_changed(Change::Recents);
        log_msg("✓ Recent calls updated");
    } else {
        // The list and the cache keep the older calls; the count says none are
        // in memory, so the next phonebook completion tries again.
        if (result.emptied)
            recent_count = 0;
        log_msg("⚠️ Recent calls not retrieved");
    }
    state_changed(Change::RecentsSynced, result.success);
    update_ui();
}

void reset_phone_data()
{
    phonebook_install(std::make_shared<PhonebookTable>());
    phonebook_loaded = 0;
    syncing_contacts = 0;
    syncing_recents = 0;
    contacts_count = 0;
    recent_count = 0;
    pending_search_query.clear();
}
