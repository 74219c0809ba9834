#include "phonedata/recents.h"

#include "base/files.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/workers.h"
#include "connection/device.h"
#include "connection/state.h"
#include "core/csv.h"
#include "phonedata/pbap.h"
#include "core/vcard.h"
#include "base/changes.h"

#include <algorithm>
#include <cstring>
#include <memory>

RecentEntry recent_entries[kMaxRecents];
int recent_count = 0;
std::atomic<int> syncing_recents{0};

namespace {

struct HistoryList {
    const char* list;
    const char* label;
};
constexpr HistoryList kLists[] = {{"ich", "📥 Incoming"}, {"och", "📤 Outgoing"}, {"mch", "❌ Missed"}};

// Why a sync could not begin, by PbapSession::Open.
constexpr const char* kOpenFailures[] = {"⚠️ No device address", "⚠️ obexd not found", "⚠️ PBAP session failed",
                                         "⚠️ PhonebookAccess1 not ready"};

struct SyncResult {
    bool success = false;
    bool emptied = false;
    RecentEntry rows[kMaxRecents];
    int count = 0;
};

void sync_lists(PbapSession& pbap, SyncResult* result)
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

void load_recents_csv()
{
    std::string data, why, path = recents_path();
    if (!read_regular_file(path.c_str(), kMaxCacheBytes, &data, &why)) {
        if (!why.empty())
            log_msgf("⚠️ %s not read: %s", path.c_str(), why.c_str());
        return;
    }
    recent_count = parse_recents_csv(data, recent_entries, kMaxRecents);
    if (recent_count > 0)
        log_msgf("📂 Loaded %d call records from CSV", recent_count);
}

void save_recents_csv()
{
    std::string why, path = recents_path();
    if (!write_file_atomically(path.c_str(), format_recents_csv(recent_entries, recent_count), &why))
        log_msgf("⚠️ %s not saved: %s", path.c_str(), why.c_str());
}

gpointer sync_recents_thread(gpointer addr)
{
    g_idle_add(recents_sync_start_cb, nullptr);
    auto* result = new SyncResult;
    {
        PbapSession pbap(static_cast<const char*>(addr));
        PbapSession::Open open = pbap.state();
        // Once the phone could be asked, the old records are given up.
        result->emptied = open >= PbapSession::Open::NO_SESSION;
        if (open == PbapSession::Open::READY)
            sync_lists(pbap, result);
        else
            log_msg(kOpenFailures[int(open)]);
    }
    g_free(addr);
    g_idle_add(recents_sync_complete_cb, result);
    return nullptr;
}

gboolean recents_sync_start_cb(gpointer)
{
    syncing_recents = 1;
    state_changed(Change::RecentsBusy, 1);
    return G_SOURCE_REMOVE;
}

gboolean recents_sync_complete_cb(gpointer data)
{
    std::unique_ptr<SyncResult> result(static_cast<SyncResult*>(data));
    syncing_recents = 0;
    state_changed(Change::RecentsBusy, 0);
    if (result->success) {
        recent_count = result->count;
        std::memcpy(recent_entries, result->rows, sizeof(RecentEntry) * size_t(result->count));
        save_recents_csv();
        state_changed(Change::Recents);
        log_msg("✓ Recent calls updated");
    } else {
        // The list and the cache keep the older calls; the count says none are
        // in memory, so the next phonebook completion tries again.
        if (result->emptied)
            recent_count = 0;
        log_msg("⚠️ Recent calls not retrieved");
    }
    state_changed(Change::RecentsSynced, result->success);
    update_ui();
    return G_SOURCE_REMOVE;
}

void start_recents_sync(const char* thread_name)
{
    syncing_recents = 1;
    start_worker(thread_name, sync_recents_thread, g_strdup(device_addr));
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
