#include "phonedata/recents.h"

#include "base/events.h"
#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/workers.h"
#include "core/csv.h"
#include "core/vcard.h"
#include "phonedata/pbap.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct HistoryList {
    const char* list;
    const char* label;
};
constexpr HistoryList kLists[] = {{"ich", "📥 Incoming"}, {"och", "📤 Outgoing"}, {"mch", "❌ Missed"}};

// Why a sync could not begin, by PbapSession::Open.
constexpr const char* kOpenFailures[] = {"⚠️ No device address", "⚠️ obexd not found", "⚠️ PBAP session failed",
                                         "⚠️ PhonebookAccess1 not ready"};

void sync_lists(PbapSession& pbap, HistoryRead* result)
{
    bool unreadable = false;
    for (const HistoryList& list : kLists) {
        std::string filename = pbap.pull(list.list);
        if (filename.empty())
            continue;
        result->success = true;
        std::string data;
        if (!read_pulled_file(filename, &data)) {
            // Its calls would vanish from the cache: the sync fails instead.
            log_msgf("⚠️ Call history file not read: %s", filename.c_str());
            unreadable = true;
            continue;
        }
        result->count = reduce_call_history_vcards(data, list.label, result->rows, kMaxRecents, result->count);
    }
    if (unreadable)
        result->success = false;
    if (result->count > 1)
        result->count = sort_and_cut_recents(result->rows, result->count);
}

}  // namespace

int compare_recents(const void* a, const void* b)
{
    return std::strcmp(static_cast<const RecentEntry*>(b)->sort_key, static_cast<const RecentEntry*>(a)->sort_key);
}

int sort_and_cut_recents(RecentEntry* rows, int count)
{
    std::stable_sort(rows, rows + count,
                     [](const RecentEntry& a, const RecentEntry& b) { return compare_recents(&a, &b) < 0; });
    return std::min(count, kKeptRecents);
}

int read_recents_cache(RecentEntry* rows, int capacity)
{
    std::string data, why, path = recents_path();
    if (!read_regular_file(path.c_str(), kMaxCacheBytes, &data, &why)) {
        if (!why.empty())
            log_msgf("⚠️ %s not read: %s", path.c_str(), why.c_str());
        return 0;
    }
    return parse_recents_csv(data, rows, capacity);
}

void save_recents_cache(const RecentEntry* rows, int count)
{
    std::string why, path = recents_path();
    if (!write_file_atomically(path.c_str(), format_recents_csv(rows, count), &why))
        log_msgf("⚠️ %s not saved: %s", path.c_str(), why.c_str());
}

namespace {

gpointer history_thread(gpointer data)
{
    std::unique_ptr<std::string> address(static_cast<std::string*>(data));
    post_event(RecentsSyncStarted{});
    auto result = std::make_shared<HistoryRead>();
    {
        PbapSession pbap(address->c_str());
        PbapSession::Open open = pbap.state();
        // Once the phone could be asked, the old records are given up.
        result->emptied = open >= PbapSession::Open::NO_SESSION;
        if (open == PbapSession::Open::READY)
            sync_lists(pbap, result.get());
        else
            log_msg(kOpenFailures[int(open)]);
    }
    post_event(RecentsRead{std::move(result)});
    return nullptr;
}

}  // namespace

void start_history_read(const char* thread_name, const std::string& address)
{
    start_worker(thread_name, history_thread, new std::string(address));
}
