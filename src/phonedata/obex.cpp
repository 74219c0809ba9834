#include "phonedata/obex.h"

#include "base/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

std::atomic<GDBusConnection*> obex_conn{nullptr};
std::mutex pbap_session_mutex;
std::atomic<int> obex::transfer_stall_limit_ms{30000};

namespace obex {
namespace {

// Two workers may both find obex_conn null; only one runs the start-up.
std::mutex startup_mutex;

constexpr GDBusConnectionFlags kConnectionFlags = GDBusConnectionFlags(
    G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);

GVariant* call(GDBusConnection* conn, const char* path, const char* iface, const char* method, GVariant* params,
               const GVariantType* reply_type, int timeout_ms, GError** error)
{
    return g_dbus_connection_call_sync(conn, kService, path, iface, method, params, reply_type,
                                       G_DBUS_CALL_FLAGS_NONE, timeout_ms, nullptr, error);
}

// The reply text of Introspect, or nullopt.
std::optional<std::string> introspect(GDBusConnection* conn, const char* path)
{
    GVariant* reply = call(conn, path, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr,
                           G_VARIANT_TYPE("(s)"), kIntrospectTimeoutMs, nullptr);
    if (!reply)
        return std::nullopt;
    const gchar* xml = nullptr;
    g_variant_get(reply, "(&s)", &xml);
    std::string out = xml ? xml : "";
    g_variant_unref(reply);
    return out;
}

bool path_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

void sleep_ms(int ms) { g_usleep(gulong(ms) * 1000); }

// A fresh connection on which obexd answered, or null.
GDBusConnection* connect_and_probe(const std::string& address)
{
    GDBusConnection* conn =
        g_dbus_connection_new_for_address_sync(address.c_str(), kConnectionFlags, nullptr, nullptr, nullptr);
    if (!conn)
        return nullptr;
    // The session bus may go away; that must not end the program.
    g_dbus_connection_set_exit_on_close(conn, FALSE);
    if (probe(conn))
        return conn;
    g_object_unref(conn);
    return nullptr;
}

bool spawn(const std::vector<std::string>& argv, gchar** envp)
{
    std::vector<gchar*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<gchar*>(a.c_str()));
    args.push_back(nullptr);
    GError* error = nullptr;
    gboolean ok = g_spawn_async(nullptr, args.data(), envp, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, &error);
    g_clear_error(&error);
    return ok;
}

int start_locked(const Startup& startup)
{
    log_msg("ℹ️ Starting obexd service…");
    const char* env_address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    SessionBus bus = find_session_bus(env_address, getuid() == 0, g_getenv("SUDO_USER"), g_getenv("SUDO_UID"),
                                      path_exists);
    log_msg(bus.log_line);
    if (bus.address.empty())
        return 0;

    if (GDBusConnection* conn = connect_and_probe(bus.address)) {
        obex_conn = conn;
        log_msg("✓ Using existing obexd service");
        return 1;
    }

    bool started = false;
    if (!bus.sudo_user.empty()) {
        log_msg("ℹ️ Starting obexd as user…");
        started = spawn(sudo_start_argv(bus.sudo_user, bus.address), nullptr);
    } else {
        gchar** envp = g_get_environ();
        envp = g_environ_setenv(envp, "DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), TRUE);
        for (const auto& program : startup.programs) {
            if (spawn({program, "-n"}, envp)) {
                started = true;
                break;
            }
        }
        g_strfreev(envp);
    }
    if (!started) {
        log_msg("⚠️ Failed to start obexd");
        return 0;
    }

    sleep_ms(startup.first_wait_ms);
    log_msg("ℹ️ obexd started, establishing connection…");
    for (int attempt = 0; attempt < startup.attempts; ++attempt) {
        sleep_ms(startup.attempt_wait_ms);
        if (GDBusConnection* conn = connect_and_probe(bus.address)) {
            obex_conn = conn;
            log_msg("✓ obexd connection established");
            return 1;
        }
    }
    log_msg("⚠️ Failed to establish obexd connection (timeout)");
    return 0;
}

}  // namespace

SessionBus find_session_bus(const char* env_address, bool is_root, const char* sudo_user, const char* sudo_uid,
                            bool (*exists)(const char* path))
{
    const char* not_found = "⚠️ Session bus not found";
    if (env_address && env_address[0] != '\0')
        return {env_address, "", "ℹ️ Using existing session bus"};
    if (!is_root || !sudo_uid)
        return {"", "", not_found};
    std::string path = std::string("/run/user/") + sudo_uid + "/bus";
    if (!exists(path.c_str()))
        return {"", "", not_found};
    return {"unix:path=" + path, sudo_user ? sudo_user : "", "ℹ️ Found user session bus"};
}

std::vector<std::string> sudo_start_argv(const std::string& user, const std::string& address, const char* program)
{
    return {"sudo", "-u", user, "env", "DBUS_SESSION_BUS_ADDRESS=" + address, program, "-n"};
}

int ensure_running(const Startup& startup)
{
    if (obex_conn.load())
        return 1;
    std::lock_guard<std::mutex> lock(startup_mutex);
    // The other worker may have finished the start-up while we waited.
    if (obex_conn.load())
        return 1;
    return start_locked(startup);
}

bool probe(GDBusConnection* conn)
{
    GVariant* reply = call(conn, kClientPath, "org.freedesktop.DBus.Introspectable", "Introspect", nullptr,
                           G_VARIANT_TYPE("(s)"), kProbeTimeoutMs, nullptr);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

std::string create_session(GDBusConnection* conn, const char* address)
{
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "Target", g_variant_new_string("PBAP"));
    GVariant* reply = call(conn, kClientPath, kClientIface, "CreateSession",
                           g_variant_new("(sa{sv})", address, &options), G_VARIANT_TYPE("(o)"),
                           kCreateSessionTimeoutMs, nullptr);
    if (!reply)
        return "";
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    std::string out = path ? path : "";
    g_variant_unref(reply);
    return out;
}

bool session_has_phonebook(GDBusConnection* conn, const std::string& session)
{
    auto xml = introspect(conn, session.c_str());
    return xml && xml->find("PhonebookAccess1") != std::string::npos;
}

bool select(GDBusConnection* conn, const std::string& session, const char* location, const char* list,
            int timeout_ms)
{
    GVariant* reply = call(conn, session.c_str(), kPhonebookIface, "Select", g_variant_new("(ss)", location, list),
                           nullptr, timeout_ms, nullptr);
    if (!reply)
        return false;
    g_variant_unref(reply);
    return true;
}

Pull pull_all(GDBusConnection* conn, const std::string& session, bool call_history)
{
    GVariantBuilder filters;
    g_variant_builder_init(&filters, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&filters, "{sv}", "Format", g_variant_new_string("vcard21"));
    if (call_history) {
        g_variant_builder_add(&filters, "{sv}", "MaxListCount", g_variant_new_uint16(kHistoryMaxCount));
        g_variant_builder_add(&filters, "{sv}", "MaxCount", g_variant_new_uint16(kHistoryMaxCount));
    }
    Pull pull;
    GVariant* reply = call(conn, session.c_str(), kPhonebookIface, "PullAll", g_variant_new("(sa{sv})", "", &filters),
                           G_VARIANT_TYPE("(oa{sv})"), call_history ? kPullHistoryTimeoutMs : kPullPhonebookTimeoutMs,
                           nullptr);
    if (!reply)
        return pull;
    pull.replied = true;
    const gchar* transfer = nullptr;
    GVariant* props = nullptr;
    g_variant_get(reply, "(&o@a{sv})", &transfer, &props);
    pull.transfer = transfer ? transfer : "";
    const gchar* filename = nullptr;
    if (g_variant_lookup(props, "Filename", "&s", &filename) && filename)
        pull.filename = filename;
    g_variant_unref(props);
    g_variant_unref(reply);
    return pull;
}

PropertyResult get_transfer_property(GDBusConnection* conn, const std::string& transfer, const char* name,
                                     std::string* value)
{
    GError* error = nullptr;
    GVariant* reply = call(conn, transfer.c_str(), "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", kTransferIface, name), G_VARIANT_TYPE("(v)"), kGetTimeoutMs, &error);
    if (!reply) {
        // A late or lost answer is worth another poll; an object that is gone
        // (obexd drops it as soon as the transfer ends) never comes back.
        bool no_reply = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
                        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
                        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT);
        g_clear_error(&error);
        return no_reply ? PropertyResult::NO_REPLY : PropertyResult::GONE;
    }
    GVariant* inner = nullptr;
    g_variant_get(reply, "(v)", &inner);
    PropertyResult result = PropertyResult::NO_REPLY;
    if (g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING)) {
        if (value)
            *value = g_variant_get_string(inner, nullptr);
        result = PropertyResult::VALUE;
    }
    g_variant_unref(inner);
    g_variant_unref(reply);
    return result;
}

void remove_session(GDBusConnection* conn, const std::string& session)
{
    if (session.empty())
        return;
    GVariant* reply = call(conn, kClientPath, kClientIface, "RemoveSession", g_variant_new("(o)", session.c_str()),
                           nullptr, kRemoveSessionTimeoutMs, nullptr);
    if (reply)
        g_variant_unref(reply);
}

TransferWatch::TransferWatch(GDBusConnection* conn) : conn_(conn), context_(g_main_context_new())
{
    g_main_context_push_thread_default(context_);
    subscription_ = g_dbus_connection_signal_subscribe(conn_, kService, "org.freedesktop.DBus.Properties",
                                                       "PropertiesChanged", nullptr, kTransferIface,
                                                       G_DBUS_SIGNAL_FLAGS_NONE, on_signal, this, nullptr);
}

TransferWatch::~TransferWatch()
{
    g_dbus_connection_signal_unsubscribe(conn_, subscription_);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
}

void TransferWatch::on_signal(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                              GVariant* params, gpointer self)
{
    if (!g_variant_is_of_type(params, G_VARIANT_TYPE("(sa{sv}as)")))
        return;
    Seen& seen = static_cast<TransferWatch*>(self)->seen_[path];
    ++seen.announcements;
    GVariant* changed = g_variant_get_child_value(params, 1);
    const gchar* status = nullptr;
    if (g_variant_lookup(changed, "Status", "&s", &status) && status)
        seen.status = status;
    g_variant_unref(changed);
}

std::optional<std::string> TransferWatch::final_status(const std::string& transfer)
{
    while (g_main_context_iteration(context_, FALSE)) {
    }
    auto it = seen_.find(transfer);
    if (it != seen_.end() && (it->second.status == "complete" || it->second.status == "error"))
        return it->second.status;
    return std::nullopt;
}

void TransferWatch::run_for(const std::string& transfer, int ms)
{
    // Sleeps on the context, so the transfer's signal ends the wait at once.
    bool expired = false;
    GSource* timer = g_timeout_source_new(guint(ms));
    g_source_set_callback(
        timer,
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_source_attach(timer, context_);
    while (!expired) {
        g_main_context_iteration(context_, TRUE);
        auto it = seen_.find(transfer);
        if (it != seen_.end() && (it->second.status == "complete" || it->second.status == "error"))
            break;
    }
    g_source_destroy(timer);
    g_source_unref(timer);
}

TransferWatch::End TransferWatch::wait(const std::string& transfer, const std::string& filename, int interval_ms,
                                       const std::function<void()>& on_tick)
{
    auto file_size = [&]() -> gint64 {
        struct stat st;
        return !filename.empty() && stat(filename.c_str(), &st) == 0 ? gint64(st.st_size) : -1;
    };
    gint64 last_move = g_get_monotonic_time();
    std::string last_status;
    int last_announcements = 0;
    gint64 last_size = file_size();
    for (;;) {
        if (auto status = final_status(transfer))
            return *status == "complete" ? End::COMPLETE : End::FAILED;
        run_for(transfer, interval_ms);
        if (auto status = final_status(transfer))
            return *status == "complete" ? End::COMPLETE : End::FAILED;
        std::string status;
        switch (get_transfer_property(conn_, transfer, "Status", &status)) {
        case PropertyResult::VALUE:
            if (status == "complete")
                return End::COMPLETE;
            if (status == "error")
                return End::FAILED;
            break;
        case PropertyResult::GONE:
            // Its last PropertiesChanged came before the object went away.
            if (auto final = final_status(transfer))
                return *final == "complete" ? End::COMPLETE : End::FAILED;
            return End::FAILED;
        case PropertyResult::NO_REPLY:
            break;
        }
        int announcements = seen_[transfer].announcements;
        gint64 size = file_size();
        if ((!status.empty() && status != last_status) || announcements != last_announcements || size != last_size) {
            last_move = g_get_monotonic_time();
            if (!status.empty())
                last_status = status;
            last_announcements = announcements;
            last_size = size;
        }
        if (on_tick)
            on_tick();
        if (g_get_monotonic_time() - last_move >= gint64(transfer_stall_limit_ms.load()) * 1000)
            return End::STALLED;
    }
}

}  // namespace obex

int ensure_obexd_running() { return obex::ensure_running(obex::Startup{}); }
