#include "phonedata/phonebook.h"

#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/workers.h"
#include "core/text.h"
#include "connection/device.h"
#include "connection/state.h"
#include "core/csv.h"
#include "phonedata/pbap.h"
#include "phonedata/recents.h"
#include "phonedata/search.h"
#include "core/vcard.h"
#include "base/changes.h"

#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<int> phonebook_loaded{0};
std::atomic<int> syncing_contacts{0};
Contact contacts[kMaxShownContacts];
int contacts_count = 0;

namespace {

std::mutex table_mutex;
std::shared_ptr<const PhonebookTable> current_table = std::make_shared<PhonebookTable>();

// Cards written so far into a growing vCard file; each byte is read once.
class CardCounter {
public:
    int update(const std::string& path)
    {
        FILE* file = std::fopen(path.c_str(), "rb");
        if (!file)
            return cards_;
        char buf[65536];
        size_t n = 0;
        if (fseeko(file, offset_, SEEK_SET) == 0) {
            while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) {
                offset_ += off_t(n);
                carry_.append(buf, n);
                for (size_t at = carry_.find(kBegin); at != std::string::npos; at = carry_.find(kBegin, at + 1))
                    ++cards_;
                // Keep what could be the start of a marker cut by the read.
                carry_.erase(0, carry_.size() - std::min(carry_.size(), sizeof kBegin - 2));
            }
        }
        std::fclose(file);
        return cards_;
    }

private:
    static constexpr char kBegin[] = "BEGIN:VCARD";
    off_t offset_ = 0;
    std::string carry_;
    int cards_ = 0;
};

// The phone's main phonebook as a new table, or null. Nothing global is
// touched: a failure leaves the current table and the cache as they are.
PhonebookTable* download_phonebook(const char* address)
{
    PbapSession pbap(address);
    if (pbap.state() != PbapSession::Open::READY)
        return nullptr;
    // A large phonebook with photos takes minutes on some phones: the
    // window shows how many cards have arrived meanwhile.
    CardCounter counter;
    int shown = 0;
    std::string filename = pbap.pull("pb", [&](const std::string& file) {
        int cards = file.empty() ? 0 : counter.update(file);
        if (cards == shown)
            return;
        shown = cards;
        state_changed_later(Change::ContactsProgress, shown);
    });
    if (filename.empty())
        return nullptr;
    log_msgf("Phonebook file: %s", filename.c_str());
    std::string data;
    if (!read_pulled_file(filename, &data))
        return nullptr;
    auto* table = new PhonebookTable;
    int cards = reduce_phonebook_vcards(data, table->rows, kMaxContacts, &table->count);
    log_msgf("VCF: %d cards, %d contacts loaded", cards, table->count);
    if (table->count == 0) {
        log_msg("⚠️ The phone sent no contacts: is contact sharing allowed on the phone?");
        table->keeps_known = phonebook_snapshot()->count > 0;
    }
    if (!table->keeps_known) {
        table->prepare();
        save_contacts_table(*table, contacts_path().c_str());
    }
    return table;
}

void start_phonebook_thread(const char* name)
{
    start_worker(name, load_phonebook_thread, g_strdup(device_addr));
}

// Digits of a number, then its last ten: "+49 170 1234567" and
// "01701234567" meet at "1701234567".
std::string caller_key(const char* number)
{
    std::string digits;
    for (const char* p = number; p && *p; ++p)
        if (*p >= '0' && *p <= '9')
            digits += *p;
    if (digits.size() > 10)
        digits.erase(0, digits.size() - 10);
    return digits;
}

}  // namespace

void PhonebookTable::prepare()
{
    lower_names.clear();
    lower_names.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        gchar* lower = g_utf8_strdown(rows[i].name, -1);
        lower_names.emplace_back(lower);
        g_free(lower);
    }
}

std::shared_ptr<const PhonebookTable> phonebook_snapshot()
{
    std::lock_guard<std::mutex> lock(table_mutex);
    return current_table;
}

void phonebook_install(std::shared_ptr<PhonebookTable> table)
{
    if (!table)
        return;
    if (table->lower_names.size() != size_t(table->count))
        table->prepare();
    std::lock_guard<std::mutex> lock(table_mutex);
    current_table = std::move(table);
}

bool save_contacts_table(const PhonebookTable& table, const char* path)
{
    std::string why;
    if (write_file_atomically(path, format_contacts_csv(table.rows, table.count), &why))
        return true;
    log_msgf("⚠️ %s not saved: %s", path, why.c_str());
    return false;
}

void load_contacts_csv()
{
    std::string data, why, path = contacts_path();
    if (!read_regular_file(path.c_str(), kMaxCacheBytes, &data, &why)) {
        if (!why.empty())
            log_msgf("⚠️ %s not read: %s", path.c_str(), why.c_str());
        return;
    }
    auto table = std::make_shared<PhonebookTable>();
    table->count = parse_contacts_csv(data, table->rows, kMaxContacts);
    if (table->count == 0)
        return;
    int count = table->count;
    contacts_count = std::min(count, kMaxShownContacts);
    std::memcpy(contacts, table->rows, sizeof(Contact) * size_t(contacts_count));
    phonebook_install(std::move(table));
    phonebook_loaded = 1;
    log_msgf("📂 Loaded %d contacts from CSV", count);
}

void save_contacts_csv() { save_contacts_table(*phonebook_snapshot(), contacts_path().c_str()); }

gpointer load_phonebook_thread(gpointer addr)
{
    g_idle_add(phonebook_load_complete_cb, download_phonebook(static_cast<const char*>(addr)));
    g_free(addr);
    return nullptr;
}

gboolean phonebook_load_complete_cb(gpointer result)
{
    syncing_contacts = 0;
    state_changed(Change::ContactsBusy, 0);
    state_changed(Change::ContactsProgress, -1);
    if (auto* table = static_cast<PhonebookTable*>(result); table && table->keeps_known) {
        delete table;
        phonebook_loaded = 1;
    } else if (table) {
        phonebook_install(std::shared_ptr<PhonebookTable>(table));
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
    return G_SOURCE_REMOVE;
}

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
    start_phonebook_thread("load_phonebook");
}

void start_phonebook_preload()
{
    if (phonebook_loaded.load() || syncing_contacts.load())
        return;
    syncing_contacts = 1;
    start_phonebook_thread("preload_phonebook");
}

void start_phonebook_download()
{
    start_phonebook_thread("load_phonebook");
}

bool phonebook_name_exact(const char* number, char* name_out, size_t name_size)
{
    if (!number || !*number)
        return false;
    auto table = phonebook_snapshot();
    for (int i = 0; i < table->count; ++i) {
        if (std::strcmp(table->rows[i].number, number) == 0) {
            copy_text(name_out, name_size, table->rows[i].name);
            return true;
        }
    }
    return false;
}

bool phonebook_name_for_caller(const char* number, char* name_out, size_t name_size)
{
    std::string key = caller_key(number);
    if (key.size() < 4)
        return false;
    auto table = phonebook_snapshot();
    for (int i = 0; i < table->count; ++i) {
        if (caller_key(table->rows[i].number) == key) {
            copy_text(name_out, name_size, table->rows[i].name);
            return true;
        }
    }
    return false;
}
