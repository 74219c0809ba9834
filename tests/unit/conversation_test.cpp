// The conversation with the phone over a socketpair: a scripted peer answers
// byte for byte (whole, or one byte at a time), and what we sent, the call
// view and what the peer counts as a protocol error are checked.
#include "hfp/at.h"
#include "hfp/call_actions.h"
#include "hfp/call_state.h"
#include "hfp/conversation.h"
#include "hfp/hfp.h"
#include "hfp/link.h"
#include "ui/call_display.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Script = std::map<std::string, std::string>;   // command → the peer's bytes; missing: silence

// The phone's end: answers each command from the script, one at a time, and
// records a command that came before the previous one's answer went out.
class Peer {
public:
    Peer(Script script, bool bytewise) : script_(std::move(script)), bytewise_(bytewise)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~Peer()
    {
        shutdown(fds_[1], SHUT_RDWR);
        thread_.join();
        close(fds_[1]);
        if (fds_[0] >= 0)
            close(fds_[0]);
    }
    int take_hf_end() { return std::exchange(fds_[0], -1); }
    void say(const std::string& bytes)
    {
        std::lock_guard<std::mutex> lock(write_mu_);
        write_bytes(bytes);
    }
    void set(const std::string& command, const std::string& reply)
    {
        std::lock_guard<std::mutex> lock(mu_);
        script_[command] = reply;
    }
    Lines received() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return received_;
    }
    Lines overlaps() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return overlaps_;
    }
    bool wait_for(const std::string& command, int timeout_ms = 3000) const
    {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            for (const std::string& c : received())
                if (c == command)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    void write_bytes(const std::string& bytes)
    {
        size_t step = bytewise_ ? 1 : bytes.size();
        for (size_t off = 0; off < bytes.size(); off += step)
            if (send(fds_[1], bytes.data() + off, std::min(step, bytes.size() - off), MSG_NOSIGNAL) < 0)
                return;
    }
    void run()
    {
        std::string buf;
        char tmp[256];
        ssize_t n;
        while ((n = read(fds_[1], tmp, sizeof tmp)) > 0) {
            buf.append(tmp, size_t(n));
            size_t end;
            while ((end = buf.find('\r')) != std::string::npos) {
                std::string command = buf.substr(0, end);
                buf.erase(0, end + 1);
                std::string reply;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    received_.push_back(command);
                    auto it = script_.find(command);
                    if (it == script_.end())
                        continue;
                    reply = it->second;
                }
                int queued = 0;
                ioctl(fds_[1], FIONREAD, &queued);
                if (!buf.empty() || queued > 0) {
                    std::lock_guard<std::mutex> lock(mu_);
                    overlaps_.push_back(command);
                }
                say(reply);
            }
        }
    }

    int fds_[2] = {-1, -1};
    Script script_;
    bool bytewise_;
    mutable std::mutex mu_;
    std::mutex write_mu_;
    Lines received_, overlaps_;
    std::thread thread_;
};

const std::string kOk = "\r\nOK\r\n", kError = "\r\nERROR\r\n";

// Unsolicited results around and inside a reply, and commands sent faster
// than the phone answers: each reply to its command, everything else to the
// handlers, one command on the wire at a time.
TEST(Conversation, RepliesMatchTheirCommandsAndUnsolicitedResultsReachTheirHandlers)
{
    const Script script = {
        {"AT+CIND?", "\r\nRING\r\n\r\n+CIND: 0,1,0\r\n\r\n+CIEV: 2,0\r\n" + kOk + "\r\n+CLIP: \"0301\",129\r\n"},
        {"AT+CLCC", "\r\n+CLCC: 1,1,4,0,0,\"0301\",129\r\n\r\n+CME ERROR: 3\r\n"},
        {"AT+VTS=1", kOk},
        {"AT+VTS=2", kError},
    };
    for (bool bytewise : {false, true}) {
        SCOPED_TRACE(bytewise ? "one byte at a time" : "whole");
        Peer peer(script, bytewise);
        AtConversation conversation(peer.take_hf_end());
        std::mutex mu;
        Lines seen;
        auto note = [&](const std::string& what) {
            std::lock_guard<std::mutex> lock(mu);
            seen.push_back(what);
        };
        conversation.on("RING", [&](const std::string& l) { note("ring:" + l); });
        conversation.on("", [&](const std::string& l) { note("other:" + l); });
        conversation.on("+CIEV", [&](const std::string& l) { note("ciev:" + l); });
        conversation.start();
        std::promise<void> done;
        auto reply = [&](const std::string& name) {
            return [&, name](const AtResponse& r) {
                std::string text = name + "=" + std::to_string(int(r.final)) + (r.timed_out ? "/timeout" : "");
                for (const std::string& l : r.lines)
                    text += "|" + l;
                note(text);
                if (name == "silent")
                    done.set_value();
            };
        };
        conversation.send("AT+CIND?", {"+CIND"}, reply("cind"));
        conversation.send("AT+CLCC", {"+CLCC"}, reply("clcc"));
        conversation.send("AT+VTS=1", {}, reply("vts1"));
        conversation.send("AT+VTS=2", {}, reply("vts2"));
        conversation.send("AT+SILENT", {}, reply("silent"), 300);
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
        peer.say("\r\nBUSY\r\n");   // no command in flight: an end code for the handlers
        ASSERT_TRUE(peer.wait_for("AT+SILENT"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        conversation.stop();
        EXPECT_EQ(seen, (Lines{"ring:RING", "ciev:+CIEV: 2,0", "cind=1|+CIND: 0,1,0", "other:+CLIP: \"0301\",129",
                               "clcc=3|+CLCC: 1,1,4,0,0,\"0301\",129", "vts1=1", "vts2=2", "silent=0/timeout",
                               "other:BUSY"}));
        EXPECT_EQ(peer.received(), (Lines{"AT+CIND?", "AT+CLCC", "AT+VTS=1", "AT+VTS=2", "AT+SILENT"}));
        EXPECT_EQ(peer.overlaps(), Lines{});
    }
}

TEST(Conversation, ALostLinkAnswersEveryCommandStillWaiting)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    AtConversation conversation(fds[0]);
    conversation.start();
    std::promise<void> lost;
    std::atomic<int> count{0};
    for (const char* command : {"ATA", "AT+CHUP"})
        conversation.send(command, {}, [&](const AtResponse& r) {
            if (r.link_lost && ++count == 2)
                lost.set_value();
        });
    char buf[16];
    EXPECT_EQ(read(fds[1], buf, sizeof buf), 4) << "ATA alone, the next one waits for its answer";
    close(fds[1]);
    EXPECT_EQ(lost.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(conversation.wait_closed(1000));
    bool answered = false;
    conversation.send("AT", {}, [&](const AtResponse& r) { answered = r.link_lost; });
    EXPECT_TRUE(answered) << "a command after the link closed is answered at once";
}

}  // namespace
