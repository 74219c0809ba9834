#include "phonedata/recents.h"

#include "app/log.h"
#include "app/text.h"
#include "connection/device.h"
#include "connection/state.h"
#include "phonedata/csv.h"
#include "phonedata/obex.h"
#include "phonedata/search.h"
#include "phonedata/vcard.h"
#include "ui/window.h"

#include <algorithm>
#include <cstring>
#include <memory>

RecentEntry recent_entries[kMaxRecents];
int recent_count = 0;
std::atomic<int> syncing_recents{0};

namespace {

constexpr int kAccessAttempts = 15;
constexpr int kAccessWaitMs = 100;
constexpr int kStatusPollMs = 50;

struct HistoryList {
    const char* list;
    const char* label;
};
constexpr HistoryList kLists[] = {{"ich", "📥 Incoming"}, {"och", "📤 Outgoing"}, {"mch", "❌ Missed"}};

struct SyncResult {
    bool success = false;
    bool emptied = false;   // got as far as a session: the old records are given up
    RecentEntry rows[kMaxRecents];
    int count = 0;
};

void show_recents_spinner(bool on)
{
    if (!recents_spinner)
        return;
    if (on) {
        gtk_spinner_start(GTK_SPINNER(recents_spinner));
        gtk_widget_show(recents_spinner);
    } else {
        gtk_spinner_stop(GTK_SPINNER(recents_spinner));
        gtk_widget_hide(recents_spinner);
    }
}

// The file of one list once its transfer finished, or "" to skip the list.
std::string pull_list(GDBusConnection* conn, const std::string& session, const char* list)
{
    if (!obex::select(conn, session, "int", list, obex::kSelectHistoryTimeoutMs) &&
        !obex::select(conn, session, "", list, obex::kSelectHistoryTimeoutMs))
        return "";
    obex::TransferWatch watch(conn);
    obex::Pull pull = obex::pull_all(conn, session, true);
    if (!pull.replied)
        return "";
    std::string filename = pull.filename;
    if (!pull.transfer.empty()) {
        // A list whose transfer failed, or stalled half-written, is skipped
        // rather than read.
        if (watch.wait(pull.transfer, filename, kStatusPollMs) != obex::TransferWatch::End::COMPLETE)
            return "";
        if (filename.empty() &&
            obex::get_transfer_property(conn, pull.transfer, "Filename", &filename) != obex::PropertyResult::VALUE)
            return "";
    }
    return filename;
}

void sync_lists(GDBusConnection* conn, const char* address, SyncResult* result)
{
    std::lock_guard<std::mutex> exchange(pbap_session_mutex);
    std::string session = obex::create_session(conn, address);
    if (session.empty()) {
        log_msg("⚠️ PBAP session failed");
        return;
    }
    bool ready = false;
    for (int attempt = 0; attempt < kAccessAttempts && !ready; ++attempt) {
        g_usleep(kAccessWaitMs * 1000);
        ready = obex::session_has_phonebook(conn, session);
    }
    if (!ready) {
        log_msg("⚠️ PhonebookAccess1 not ready");
        obex::remove_session(conn, session);
        return;
    }
    for (const HistoryList& list : kLists) {
        std::string filename = pull_list(conn, session, list.list);
        if (filename.empty())
            continue;
        result->success = true;
        gchar* data = nullptr;
        gsize length = 0;
        if (!g_file_get_contents(filename.c_str(), &data, &length, nullptr))
            continue;
        result->count = reduce_call_history_vcards(std::string_view(data, length), list.label, result->rows,
                                                   kMaxRecents, result->count);
        g_free(data);
    }
    if (result->count > 1)
        result->count = sort_and_cut_recents(result->rows, result->count);
    obex::remove_session(conn, session);
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
    std::string data, why;
    if (!read_cache_file(kRecentsCsv, &data, &why)) {
        if (!why.empty())
            log_msgf("⚠️ %s not read: %s", kRecentsCsv, why.c_str());
        return;
    }
    recent_count = parse_recents_csv(data, recent_entries, kMaxRecents);
    if (recent_count > 0)
        log_msgf("📂 Loaded %d call records from CSV", recent_count);
}

void save_recents_csv()
{
    std::string why;
    if (!write_file_atomically(kRecentsCsv, format_recents_csv(recent_entries, recent_count), &why))
        log_msgf("⚠️ %s not saved: %s", kRecentsCsv, why.c_str());
}

gpointer sync_recents_thread(gpointer addr)
{
    g_idle_add(recents_sync_start_cb, nullptr);
    auto* result = new SyncResult;
    char address[sizeof device_addr];
    copy_text(address, static_cast<const char*>(addr));
    g_free(addr);
    if (address[0] == '\0') {
        log_msg("⚠️ No device address");
    } else if (!obex_conn.load() && !ensure_obexd_running()) {
        log_msg("⚠️ obexd not found");
    } else {
        result->emptied = true;
        sync_lists(obex_conn.load(), address, result);
    }
    g_idle_add(recents_sync_complete_cb, result);
    return nullptr;
}

gboolean recents_sync_start_cb(gpointer)
{
    syncing_recents = 1;
    show_recents_spinner(true);
    if (sync_recents_btn)
        gtk_widget_set_sensitive(sync_recents_btn, FALSE);
    return G_SOURCE_REMOVE;
}

gboolean recents_sync_complete_cb(gpointer data)
{
    std::unique_ptr<SyncResult> result(static_cast<SyncResult*>(data));
    syncing_recents = 0;
    show_recents_spinner(false);
    if (result->success) {
        recent_count = result->count;
        std::memcpy(recent_entries, result->rows, sizeof(RecentEntry) * size_t(result->count));
        save_recents_csv();
        refresh_recents_view();
        log_msg("✓ Recent calls updated");
    } else {
        // The list and the cache keep the older calls; the count says none are
        // in memory, so the next phonebook completion tries again.
        if (result->emptied)
            recent_count = 0;
        log_msg("⚠️ Recent calls not retrieved");
    }
    update_ui();
    return G_SOURCE_REMOVE;
}

void start_recents_sync(const char* thread_name)
{
    syncing_recents = 1;
    g_thread_unref(g_thread_new(thread_name, sync_recents_thread, g_strdup(device_addr)));
}

void on_sync_recents_clicked(GtkButton*, gpointer)
{
    if (current_state.load() != CONNECTED) {
        log_msg("⚠️ Phone must be connected for recent calls");
        return;
    }
    if (syncing_recents.load()) {
        log_msg("⚠️ Recent calls already retrieving...");
        return;
    }
    log_msg("📥 Retrieving recent calls...");
    start_recents_sync("pbap_recents");
}
