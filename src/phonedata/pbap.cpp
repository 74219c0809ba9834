#include "phonedata/pbap.h"

#include "core/text.h"
#include "phonedata/obex.h"

#include <cstring>

namespace {

constexpr int kAccessAttempts = 15;
constexpr int kAccessWaitMs = 100;
constexpr int kPhonebookPollMs = 100;
constexpr int kHistoryPollMs = 50;

bool wait_for_phonebook_access(GDBusConnection* conn, const std::string& session)
{
    for (int attempt = 0; attempt < kAccessAttempts; ++attempt) {
        g_usleep(kAccessWaitMs * 1000);
        if (obex::session_has_phonebook(conn, session))
            return true;
    }
    return false;
}

}  // namespace

PbapSession::PbapSession(const char* address)
{
    if (!address || address[0] == '\0')
        return;
    state_ = Open::NO_OBEXD;
    if (!obex_conn.load() && !ensure_obexd_running())
        return;
    conn_ = obex_conn.load();
    exchange_ = std::unique_lock<std::mutex>(pbap_session_mutex);
    state_ = Open::NO_SESSION;
    session_ = obex::create_session(conn_, address);
    if (session_.empty())
        return;
    state_ = Open::NO_ACCESS;
    if (wait_for_phonebook_access(conn_, session_))
        state_ = Open::READY;
}

PbapSession::~PbapSession()
{
    if (!session_.empty())
        obex::remove_session(conn_, session_);
}

std::string PbapSession::pull(const char* list, const std::function<void(const std::string& file)>& on_tick)
{
    bool history = std::strcmp(list, "pb") != 0;
    if (history) {
        if (!obex::select(conn_, session_, "int", list, obex::kSelectHistoryTimeoutMs) &&
            !obex::select(conn_, session_, "", list, obex::kSelectHistoryTimeoutMs))
            return "";
    } else {
        obex::select(conn_, session_, "int", list, obex::kSelectPhonebookTimeoutMs);
    }
    obex::TransferWatch watch(conn_);
    obex::Pull pull = obex::pull_all(conn_, session_, history);
    if (!pull.replied)
        return "";
    std::string filename = pull.filename;
    if (!pull.transfer.empty()) {
        // Only a finished file may be read: a list whose transfer failed, or
        // stalled half-written, is given up.
        std::function<void()> tick;
        if (on_tick)
            tick = [&] { on_tick(pull.filename); };
        if (watch.wait(pull.transfer, filename, history ? kHistoryPollMs : kPhonebookPollMs, tick) !=
            obex::TransferWatch::End::COMPLETE)
            return "";
        if (filename.empty() &&
            obex::get_transfer_property(conn_, pull.transfer, "Filename", &filename) != obex::PropertyResult::VALUE)
            return "";
    }
    return filename;
}

bool read_pulled_file(const std::string& file, std::string* out)
{
    gchar* data = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file.c_str(), &data, &length, nullptr))
        return false;
    out->assign(data, length);
    g_free(data);
    return true;
}
