// The AT conversation over one RFCOMM link: the only code that reads or
// writes that socket. One command is in flight at a time; its final result
// (and the intermediate results it expects) go to its reply, everything
// else to the handlers registered by prefix. Replies and handlers run on
// the conversation's own thread, in the order the phone sent the lines.
#pragma once
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/at.h"

// The answer to one command.
struct AtResponse {
    AtFinal final = AtFinal::NONE;    // NONE when timed out or the link went
    std::string final_line;           // "+CME ERROR: 30" as sent
    std::vector<std::string> lines;   // intermediate results with an expected prefix
    bool timed_out = false;
    bool link_lost = false;           // never sent, or the link closed before the answer
    bool ok() const { return final == AtFinal::OK; }
};

class AtConversation {
public:
    using Reply = std::function<void(const AtResponse&)>;
    using Handler = std::function<void(const std::string& line)>;
    static constexpr int kDefaultTimeoutMs = 5000;

    // Takes the connected descriptor; nothing is read until start().
    explicit AtConversation(int fd);
    ~AtConversation();
    AtConversation(const AtConversation&) = delete;
    AtConversation& operator=(const AtConversation&) = delete;

    // Lines that are no reply: the first handler whose prefix the line starts
    // with ("+"-prefixes anywhere in the line: some phones put noise first);
    // "" catches the rest, wherever it was registered. Register before start().
    void on(std::string prefix, Handler handler);
    // Every line read, before it is dispatched (for the log).
    void on_line(Handler handler);
    // Runs once on the conversation's thread when the link has closed.
    void on_closed(std::function<void()> handler);
    void start();
    // Queues a command (without "\r"); reply may be empty. Any thread.
    void send(std::string command, std::vector<std::string> expect = {}, Reply reply = {},
              int timeout_ms = kDefaultTimeoutMs);
    // Shuts the link down and joins the thread. Never from a reply or handler.
    void stop();
    bool closed() const { return closed_.load(); }
    // Waits up to timeout_ms for the link to close.
    bool wait_closed(int timeout_ms);
    // Commands queued or in flight.
    size_t pending() const;

private:
    struct Command {
        std::string text;
        std::vector<std::string> expect;
        Reply reply;
        int timeout_ms;
    };
    void run();
    void dispatch(const std::string& line);
    void finish(AtResponse response);
    bool write_all(const std::string& bytes);
    void wake();

    int fd_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closed_{false};
    mutable std::mutex mu_;
    std::condition_variable closed_cv_;
    std::deque<Command> queue_;                            // guarded by mu_
    std::vector<std::pair<std::string, Handler>> handlers_;  // fixed once started
    Handler line_handler_;
    std::function<void()> closed_handler_;
    // The conversation's thread only:
    bool in_flight_ = false;
    Command current_;
    AtResponse response_;
    long long deadline_ms_ = 0;
    AtLineSplitter splitter_;
};
