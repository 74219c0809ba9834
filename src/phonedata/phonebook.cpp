#include "phonedata/phonebook.h"

#include "base/events.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/workers.h"
#include "core/csv.h"
#include "core/vcard.h"
#include "phonedata/pbap.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex table_mutex;   // guards current_table, replaced by the store on the main loop; workers read it
// Not zero-filled, as a download's table is not: the rows of the empty table
// a start without contacts keeps would otherwise take 384 KiB of memory.
std::shared_ptr<const PhonebookTable> current_table(new PhonebookTable);

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
        post_event(ContactsProgress{shown});
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

gpointer phonebook_thread(gpointer data)
{
    std::unique_ptr<std::string> address(static_cast<std::string*>(data));
    post_event(PhonebookRead{std::shared_ptr<PhonebookTable>(download_phonebook(address->c_str()))});
    return nullptr;
}

}  // namespace

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

std::shared_ptr<PhonebookTable> read_contacts_cache()
{
    std::string data, why, path = contacts_path();
    if (!read_regular_file(path.c_str(), kMaxCacheBytes, &data, &why)) {
        if (!why.empty())
            log_msgf("⚠️ %s not read: %s", path.c_str(), why.c_str());
        return nullptr;
    }
    auto table = std::make_shared<PhonebookTable>();
    table->count = parse_contacts_csv(data, table->rows, kMaxContacts);
    if (table->count == 0)
        return nullptr;
    return table;
}

void start_phonebook_download(const char* thread_name, const std::string& address)
{
    start_worker(thread_name, phonebook_thread, new std::string(address));
}

bool phonebook_name_exact(const char* number, char* name_out, size_t name_size)
{
    return name_for_exact_number(*phonebook_snapshot(), number, name_out, name_size);
}

bool phonebook_name_for_caller(const char* number, char* name_out, size_t name_size)
{
    return name_for_caller(*phonebook_snapshot(), number, name_out, name_size);
}
