// One phonebook-access exchange with the phone, for the contacts download
// and the call-history sync alike: a session of our own from CreateSession
// to RemoveSession, and whole lists pulled through it. Worker threads only.
#pragma once
#include <gio/gio.h>

#include <functional>
#include <mutex>
#include <string>

class PbapSession {
public:
    enum class Open { NO_ADDRESS, NO_OBEXD, NO_SESSION, NO_ACCESS, READY };

    // Opens a session with the phone at address (the worker's own copy of
    // device_addr), starting obexd when needed, and waits for it to offer
    // phonebook access. Holds pbap_session_mutex for its whole life.
    explicit PbapSession(const char* address);
    ~PbapSession();
    PbapSession(const PbapSession&) = delete;
    PbapSession& operator=(const PbapSession&) = delete;

    Open state() const { return state_; }

    // The file of list ("pb", "ich", "och", "mch") once its transfer has
    // finished, or "" when it did not. on_tick(file) runs after every poll
    // of the transfer, file being what the PullAll reply named ("" if none).
    std::string pull(const char* list, const std::function<void(const std::string& file)>& on_tick = {});

private:
    Open state_ = Open::NO_ADDRESS;
    GDBusConnection* conn_ = nullptr;
    std::unique_lock<std::mutex> exchange_;
    std::string session_;
};

// The whole content of a pulled file; false when it cannot be read.
bool read_pulled_file(const std::string& file, std::string* out);
