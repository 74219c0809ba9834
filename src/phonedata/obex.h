// Every call the program makes to obexd on the session bus, with its fixed
// names, arguments, reply types and timeouts; and obexd start-up.
// Synchronous; called from the PBAP worker threads only.
#pragma once
#include <gio/gio.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The one session-bus connection on which obexd answered: set once, by the first
// PBAP worker to reach obexd (under the start-up's mutex); closed only at exit (main thread).
extern std::atomic<GDBusConnection*> obex_conn;

// Held for a whole PBAP exchange (CreateSession to RemoveSession). obexd gives
// one connection one session per phone, so a phonebook download and a
// call-history sync running together would share it: one's Select would move
// the other's folder and one's RemoveSession would end the other's transfer.
extern std::mutex pbap_session_mutex;

// 1 when obex_conn holds a connection on which obexd answered, else 0.
int ensure_obexd_running();

namespace obex {

inline constexpr const char* kService = "org.bluez.obex";
inline constexpr const char* kClientPath = "/org/bluez/obex";
inline constexpr const char* kClientIface = "org.bluez.obex.Client1";
inline constexpr const char* kPhonebookIface = "org.bluez.obex.PhonebookAccess1";
inline constexpr const char* kTransferIface = "org.bluez.obex.Transfer1";

inline constexpr int kProbeTimeoutMs = 1000;
inline constexpr int kCreateSessionTimeoutMs = 15000;
inline constexpr int kIntrospectTimeoutMs = 1000;
inline constexpr int kSelectPhonebookTimeoutMs = 5000;
inline constexpr int kSelectHistoryTimeoutMs = 3000;
inline constexpr int kPullPhonebookTimeoutMs = 60000;
inline constexpr int kPullHistoryTimeoutMs = 30000;
inline constexpr int kGetTimeoutMs = 1000;
inline constexpr int kRemoveSessionTimeoutMs = 1000;
// Entries asked for per call-history list.
inline constexpr guint16 kHistoryMaxCount = 33;

inline constexpr const char* kDefaultPrograms[] = {"/usr/libexec/bluetooth/obexd", "/usr/lib/bluetooth/obexd",
                                                   "obexd"};

// Where the session bus is, worked out from the environment.
struct SessionBus {
    std::string address;     // empty: not found
    std::string sudo_user;   // start obexd as this user; empty: spawn directly
    const char* log_line;    // what to log about the lookup
};
SessionBus find_session_bus(const char* env_address, bool is_root, const char* sudo_user, const char* sudo_uid,
                            bool (*exists)(const char* path));

// Argument vector for starting obexd as the sudo user: no shell, so no value
// from the environment can become a command.
std::vector<std::string> sudo_start_argv(const std::string& user, const std::string& address,
                                         const char* program = kDefaultPrograms[0]);

struct Startup {
    std::vector<std::string> programs{std::begin(kDefaultPrograms), std::end(kDefaultPrograms)};
    int first_wait_ms = 500;
    int attempt_wait_ms = 300;
    int attempts = 10;
};
int ensure_running(const Startup& startup);

// Introspect on /org/bluez/obex: any reply means obexd is up.
bool probe(GDBusConnection* conn);
// New PBAP session's object path, or "" on error or no reply.
std::string create_session(GDBusConnection* conn, const char* address);
// The session offers PhonebookAccess1 (its introspection names it).
bool session_has_phonebook(GDBusConnection* conn, const std::string& session);
bool select(GDBusConnection* conn, const std::string& session, const char* location, const char* list,
            int timeout_ms);

struct Pull {
    bool replied = false;
    std::string transfer;   // object path, "" when the reply named none
    std::string filename;   // "" when the reply named none
};
// The phonebook asks with Format only; the call history adds MaxCount (the
// key obexd reads) beside MaxListCount.
Pull pull_all(GDBusConnection* conn, const std::string& session, bool call_history);

enum class PropertyResult { VALUE, NO_REPLY, GONE };
PropertyResult get_transfer_property(GDBusConnection* conn, const std::string& transfer, const char* name,
                                     std::string* value);
void remove_session(GDBusConnection* conn, const std::string& session);

// A transfer is given up after this long without progress: no new status,
// no "Transferred" announcement and no growth of its file. A slow phone with
// a large phonebook is served however long it takes while it moves. Never
// written by the program (tests shorten it); workers read it (atomic).
extern std::atomic<int> transfer_stall_limit_ms;   // 30000

// Watches transfers' PropertiesChanged on a context of the worker's own.
// Create it before PullAll: a small transfer can end, and its object vanish,
// before the PullAll reply arrives.
class TransferWatch {
public:
    explicit TransferWatch(GDBusConnection* conn);
    ~TransferWatch();
    TransferWatch(const TransferWatch&) = delete;
    TransferWatch& operator=(const TransferWatch&) = delete;

    enum class End { COMPLETE, FAILED, STALLED };
    // Waits for the transfer's end: the signal and "Get" polls both count,
    // "complete" from either ends the wait at once; "error", or the object
    // vanishing without "complete", is a failure. filename (may be empty) is
    // watched for growth; on_tick runs on this thread after every poll.
    End wait(const std::string& transfer, const std::string& filename, int interval_ms,
             const std::function<void()>& on_tick = {});

private:
    struct Seen {
        std::string status;
        int announcements = 0;   // PropertiesChanged received
    };
    static void on_signal(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                          GVariant* params, gpointer self);
    std::optional<std::string> final_status(const std::string& transfer);
    void run_for(const std::string& transfer, int ms);

    GDBusConnection* conn_;
    GMainContext* context_;
    guint subscription_ = 0;
    std::map<std::string, Seen> seen_;   // touched only on this thread
};

}  // namespace obex
