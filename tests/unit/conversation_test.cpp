// The conversation with the phone over a socketpair: a scripted peer answers
// byte for byte (whole, or one byte at a time), and what we sent, the call
// view and what the peer counts as a protocol error are checked.
#include "audio/aec.h"
#include "audio/call_volume.h"
#include "audio/sco.h"
#include "hfp/volume_sync.h"
#include "core/at.h"
#include "core/caller_line.h"
#include "hfp/call_actions.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/conversation.h"
#include "hfp/dial.h"
#include "hfp/listener.h"
#include "hfp/hfp.h"
#include "hfp/link.h"
#include "ui/call_display.h"
#include "hfp/indicator_map.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    // Whether the command has been read, among those after the first `from`.
    bool wait_for(const std::string& command, size_t from = 0, int timeout_ms = 3000) const
    {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            Lines seen = received();
            if (std::find(seen.begin() + std::min(from, seen.size()), seen.end(), command) != seen.end())
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

const std::string kServiceFirst = "\r\n+CIND: (\"service\",(0,1)),(\"call\",(0,1)),(\"callsetup\",(0-3)),"
                                  "(\"callheld\",(0-2)),(\"signal\",(0-5)),(\"roam\",(0,1)),(\"battchg\",(0-5))\r\n";
const std::string kCallFirst = "\r\n+CIND: (\"call\",(0,1)),(\"callsetup\",(0-3)),(\"service\",(0,1)),"
                               "(\"signal\",(0-5)),(\"roam\",(0,1)),(\"battchg\",(0-5)),(\"callheld\",(0-2))\r\n";

// A gateway that offers three-way calling, echo cancelling and the call list (bits 0, 1, 6).
Script phone_script(const std::string& list, const std::string& values)
{
    return {{"AT+BRSF=182", "\r\n+BRSF: 67\r\n" + kOk}, {"AT+BRSF=183", "\r\n+BRSF: 67\r\n" + kOk},
            {"AT+CIND=?", list + kOk}, {"AT+CIND?", "\r\n+CIND: " + values + "\r\n" + kOk},
            {"AT+CMER=3,0,0,1", kOk}, {"AT+CMER=3,0,0,0", kOk}, {"AT+CHLD=?", "\r\n+CHLD: (0,1,2,3)\r\n" + kOk},
            {"AT+CLIP=1", kOk}, {"AT+CCWA=1", kOk}, {"AT+NREC=0", kOk}, {"AT+CLCC", kOk}, {"AT+VGS=15", kOk}, {"AT+VGM=15", kOk},
            {"ATA", kOk}, {"AT+CHUP", kOk}};
}

Script with(Script s, const std::string& command, const std::string& reply)
{
    s[command] = reply;
    return s;
}

std::vector<int> call_positions(const IndicatorMap& m) { return {m.call, m.callsetup, m.callheld}; }

class LinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(g_main_context_acquire(nullptr));
        hfp_reply_timeout_ms = 300;
    }
    void TearDown() override
    {
        if (link) {
            link->stop();
            link.reset();
        }
        drain();
        g_main_context_release(nullptr);
    }
    static void drain()
    {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    // Starts the link on the peer's descriptor; the handshake's outcome.
    int start(Peer& peer)
    {
        std::promise<int> done;
        link = hfp_link_start(peer.take_hf_end(), hfp_link_generation(), [&done](bool ok) { done.set_value(ok); });
        auto f = done.get_future();
        return f.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? f.get() : -1;
    }
    std::shared_ptr<AtConversation> link;
};

// What a handshake sends and learns, and when it counts: a +BRSF reply and
// an indicator list with call and callsetup, or it has failed. Echo
// cancelling is claimed, and the phone's switched off, only while ours runs.
TEST_F(LinkTest, TheHandshakeFollowsThePhoneTraceAndMustSucceed)
{
    const Lines full = {"AT+BRSF=182", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CHLD=?", "AT+CLIP=1",
                        "AT+CCWA=1", "AT+VGS=15", "AT+VGM=15", "AT+CLCC"};
    const Script sf = phone_script(kServiceFirst, "1,0,0,0,4,0,3");
    const struct Row {
        const char* name;
        Script script;
        bool ok;
        Lines sent;
        std::vector<int> learned = {2, 3, 4};
        bool aec = false;
        int codec = 1;   // the next voice link's: 1 CVSD, 2 mSBC
    } rows[] = {
        {"service first", sf, true, full},
        {"call first, AT+CMER=3,0,0,1 refused", with(phone_script(kCallFirst, "0,0,1,4,0,3,0"), "AT+CMER=3,0,0,1", kError),
         true, {"AT+BRSF=182", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CMER=3,0,0,0", "AT+CHLD=?", "AT+CLIP=1",
                "AT+CCWA=1", "AT+VGS=15", "AT+VGM=15", "AT+CLCC"}, {1, 2, 7}},
        {"our canceller runs: echo cancelling claimed, the phone's switched off", sf, true,
         {"AT+BRSF=183", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CHLD=?", "AT+CLIP=1", "AT+CCWA=1", "AT+NREC=0",
          "AT+VGS=15", "AT+VGM=15", "AT+CLCC"}, {2, 3, 4}, true},
        {"no three-way calling, no call list",
         with(sf, "AT+BRSF=182", "\r\n+BRSF: 2\r\n" + kOk), true,
         {"AT+BRSF=182", "AT+CIND=?", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CLIP=1", "AT+VGS=15", "AT+VGM=15"}},
        {"a reply interleaved with unsolicited results",
         with(sf, "AT+CIND?", "\r\nRING\r\n\r\n+CIND: 1,0,0,0,4,0,3\r\n\r\n+CIEV: 5,2\r\n" + kOk + "\r\n+CIEV: 7,1\r\n"),
         true, full},
        {"AT+BRSF refused", with(sf, "AT+BRSF=182", kError), false, {"AT+BRSF=182"}, {1, 2, -1}},
        {"OK without +BRSF", with(sf, "AT+BRSF=182", kOk), false, {"AT+BRSF=182"}, {1, 2, -1}},
        {"unreadable indicator list", with(sf, "AT+CIND=?", "\r\n+CIND: whatever\r\n" + kOk), false,
         {"AT+BRSF=182", "AT+CIND=?"}, {1, 2, -1}},
        {"list without callsetup", with(sf, "AT+CIND=?", "\r\n+CIND: (\"call\",(0,1))\r\n" + kOk), false,
         {"AT+BRSF=182", "AT+CIND=?"}, {1, 2, -1}},
        {"silent phone", {}, false, {"AT+BRSF=182"}, {1, 2, -1}},
        // Bit 9: the phone negotiates codecs. Ours follow the features; its pick is confirmed.
        {"codecs negotiated, mSBC picked",
         with(with(with(sf, "AT+BRSF=182", "\r\n+BRSF: 579\r\n" + kOk), "AT+BAC=1,2,3", kOk + "\r\n+BCS: 2\r\n"),
              "AT+BCS=2", kOk),
         true, {"AT+BRSF=182", "AT+BAC=1,2,3", "AT+CIND=?", "AT+BCS=2", "AT+CIND?", "AT+CMER=3,0,0,1", "AT+CHLD=?",
                "AT+CLIP=1", "AT+CCWA=1", "AT+VGS=15", "AT+VGM=15", "AT+CLCC"}, {2, 3, 4}, false, 2},
    };
    for (const Row& row : rows) {
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (bytewise ? ", one byte at a time" : ", whole"));
            hfp_set_indicator_map(IndicatorMap{});
            aec_enabled = row.aec;
            Peer peer(row.script, bytewise);
            EXPECT_EQ(start(peer), row.ok);
            if (row.ok) {
                ASSERT_TRUE(peer.wait_for(row.sent.back()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(peer.received(), row.sent);
            EXPECT_EQ(call_positions(hfp_indicator_map()), row.learned);
            EXPECT_EQ(hfp_link_ready(), row.ok);
            EXPECT_EQ(peer.overlaps(), Lines{});
            EXPECT_EQ(sco_codec.load(), row.codec);
            link->stop();
            link.reset();
            EXPECT_FALSE(hfp_link_ready());
            drain();
            aec_enabled = 0;
        }
    }
}

std::string describe_link_view(const CallModel& m)
{
    CallView v = m.view();
    std::string out = std::string(1, "-IOA"[v.state]) + (v.waiting ? "w" : "") + (v.held && !v.held_only ? "h" : "") +
                      (v.action ? std::string(1, " are"[v.action]) : "");
    if (v.state != CALL_IDLE)
        out += " " + m.party().number;
    if (v.waiting)
        out += "/" + m.waiting_party().number;
    if (v.held && !v.held_only)
        out += "/" + m.held_party().number;
    return out;
}

// Peer traces through the conversation, the line handlers and the call
// model, in both indicator orders, whole and one byte at a time. Steps:
// "say <bytes>" (the phone, with C/S/H for the call, callsetup and callheld
// positions), "set <command>=<reply>" (its next answers), "answer",
// "hangup", "heard <command>" (the phone has read it since the handshake),
// then the view expected once the link is quiet.
TEST_F(LinkTest, PeerTracesEndInTheRightCallView)
{
    // No trace waits for a reply to time out; the phone's lines that answer
    // a command must find it still waiting however slowly the test runs.
    hfp_reply_timeout_ms = 5000;
    using Steps = std::vector<std::pair<std::string, std::string>>;
    const struct Trace {
        const char* name;
        Steps steps;
        Lines sent_after_handshake;
    } traces[] = {
        {"a call rings with its caller",
         {{"say \r\n+CIEV: S,1\r\n\r\nRING\r\n\r\n+CLIP: \"0301234\",129\r\n", "I 0301234"}}, {"AT+CLCC"}},
        {"ERROR to ATA: AT+CIND? says it still rings",
         {{"say \r\n+CIEV: S,1\r\n\r\n+CLIP: \"0301234\",129\r\n", "I 0301234"},
          {"set ATA=\r\nERROR\r\n", ""}, {"set AT+CIND?=RINGING", ""}, {"answer", "I 0301234"}},
         {"AT+CLCC", "ATA", "AT+CIND?", "AT+CLCC"}},
        {"hang up: ending until call 0",
         {{"say \r\n+CIEV: C,1\r\n", "A "}, {"set AT+CLCC=\r\n+CLCC: 1,0,0,0,0,\"555\",129\r\n\r\nOK\r\n", ""},
          {"say \r\n+CIEV: S,0\r\n", "A 555"}, {"hangup", "Ae 555"}, {"say \r\n+CIEV: C,0\r\n", "-"}},
         {"AT+CLCC", "AT+CHUP", "AT+CLCC"}},
        {"a change told before the awaited call list: listed again",
         {{"set AT+CLCC=", ""}, {"say \r\n+CIEV: C,1\r\n", "A "}, {"heard AT+CLCC", ""},
          {"set AT+CLCC=\r\n+CLCC: 1,0,0,0,0,\"555\",129\r\n\r\nOK\r\n", ""}, {"say \r\n+CIEV: S,0\r\n\r\nOK\r\n", "A 555"}},
         {"AT+CLCC"}},
        // Android refuses anything outside its dial set: the number goes out reduced, and stays shown as typed.
        {"a contact's number as stored is dialled as the phone accepts it",
         {{"set ATD+14085550142;=\r\nOK\r\n", ""}, {"dial +1 (408) 555-0142", "O +1 (408) 555-0142"},
          {"set AT+CLCC=\r\n+CLCC: 1,0,3,0,0,\"+14085550142\",145\r\n\r\nOK\r\n", ""},
          {"say \r\n+CIEV: S,3\r\n", "O +1 (408) 555-0142"}},
         {"ATD+14085550142;", "AT+CLCC"}},
        {"call 0 with a caller waiting: the caller rings",
         {{"say \r\n+CIEV: C,1\r\n", "A "}, {"say \r\n+CCWA: \"777\",129,1\r\n\r\n+CIEV: S,1\r\n", "Aw /777"},
          {"say \r\n+CIEV: C,0\r\n", "I 777"}},
         {"AT+CLCC"}},
        {"a swap done on the phone, told by its call list",
         {{"set AT+CLCC=\r\n+CLCC: 1,0,0,0,0,\"123\",129\r\n\r\nOK\r\n", ""}, {"say \r\n+CIEV: C,1\r\n", "A 123"},
          {"set AT+CLCC=\r\n+CLCC: 1,0,0,0,0,\"123\",129\r\n\r\n+CLCC: 2,1,1,0,0,\"777\",129\r\n\r\nOK\r\n", ""},
          {"say \r\n+CIEV: H,1\r\n", "Ah 123/777"},
          {"set AT+CLCC=\r\n+CLCC: 1,0,1,0,0,\"123\",129\r\n\r\n+CLCC: 2,1,0,0,0,\"777\",129\r\n\r\nOK\r\n", ""},
          {"say \r\n+CIEV: H,1\r\n", "Ah 777/123"}},
         {"AT+CLCC"}},
    };
    for (bool service_first : {true, false}) {
        const std::string positions_of = service_first ? "234" : "127";   // call, callsetup, callheld
        for (const Trace& trace : traces) {
            for (bool bytewise : {false, true}) {
                SCOPED_TRACE(std::string(trace.name) + (service_first ? ", service first" : ", call first") +
                             (bytewise ? ", one byte at a time" : ""));
                Peer peer(phone_script(service_first ? kServiceFirst : kCallFirst,
                                       service_first ? "1,0,0,0,4,0,3" : "0,0,1,4,0,3,0"),
                          bytewise);
                ASSERT_EQ(start(peer), 1);
                ASSERT_TRUE(peer.wait_for("AT+CLCC"));
                size_t handshake = peer.received().size();
                for (const auto& [step, expected] : trace.steps) {
                    if (step.rfind("say ", 0) == 0) {
                        std::string bytes = step.substr(4);
                        for (char& c : bytes)
                            if ((c == 'C' || c == 'S' || c == 'H') && (&c)[-1] == ' ' && (&c)[1] == ',')
                                c = positions_of[std::string("CSH").find(c)];
                        peer.say(bytes);
                    } else if (step.rfind("set ", 0) == 0) {
                        size_t eq = step.find('=', 4);
                        std::string reply = step.substr(eq + 1);
                        if (reply == "RINGING")
                            reply = "\r\n+CIND: " + std::string(service_first ? "1,0,1,0,4,0,3" : "0,1,1,4,0,3,0") +
                                    "\r\n" + kOk;
                        peer.set(step.substr(4, eq - 4), reply);
                    } else if (step == "answer") {
                        answer_call();
                    } else if (step == "hangup") {
                        hang_up_call();
                    } else if (step.rfind("heard ", 0) == 0) {
                        ASSERT_TRUE(peer.wait_for(step.substr(6), handshake)) << step;
                    } else if (step.rfind("dial ", 0) == 0) {
                        hfp_set_phone_connected(true);   // as set_state tells the link
                        dial_number(step.substr(5).c_str());
                    }
                    if (expected.empty())
                        continue;
                    std::string seen;
                    for (int i = 0; i < 300 && (seen = describe_link_view(call_model_snapshot())) != expected; ++i) {
                        drain();
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                    EXPECT_EQ(seen, expected) << step;
                }
                // Call-list requests that meet in the queue go out as one.
                auto sent_after_handshake = [&] {
                    Lines sent = peer.received(), after;
                    for (size_t i = handshake; i < sent.size(); ++i)
                        if (after.empty() || sent[i] != "AT+CLCC" || after.back() != "AT+CLCC")
                            after.push_back(sent[i]);
                    return after;
                };
                for (int i = 0; i < 300 && sent_after_handshake() != trace.sent_after_handshake; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                std::this_thread::sleep_for(std::chrono::milliseconds(100));   // and nothing more
                EXPECT_EQ(sent_after_handshake(), trace.sent_after_handshake);
                EXPECT_EQ(peer.overlaps(), Lines{});
                link->stop();
                link.reset();
                call_link_closed();
                drain();
            }
        }
    }
}

TEST(DialString, ReducedToWhatPhonesAccept)
{
    for (auto [typed, sent] : {std::pair{"+1 (408) 555-0142", "+14085550142"}, {"030/123.45-6", "030123456"},
                               {"*#06#", "*#06#"}, {"0301234,,99p1w2", "0301234,,99p1w2"}, {"12+34", "1234"},
                               {"Call me", ""}, {",,", ""}, {"0049 (0)30 12", "004903012"}})
        EXPECT_EQ(dial_string(typed), std::string(sent)) << typed;
}

// The phone's volume keys move our gains; ours go to the phone one command
// at a time, the newest winning. The scale is the sound server's cubic one.
TEST_F(LinkTest, VolumeFollowsThePhoneAndThePhoneFollowsOurs)
{
    // The phone's keys move after it has answered our gains (said earlier,
    // they would be answered with ours again).
    Peer peer(with(phone_script(kServiceFirst, "1,0,0,0,4,0,3"), "AT+VGM=15",
                   kOk + "\r\n+VGS: 7\r\n\r\n+VGM=3\r\n\r\n+VGS: 16\r\n"),
              true);
    ASSERT_EQ(start(peer), 1);
    for (int i = 0; i < 300 && microphone_gain.load() != 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(speaker_gain.load(), 7);
    EXPECT_EQ(microphone_gain.load(), 3);
    // AT+VGS=9 stays unanswered while the slider moves on to 12.
    peer.set("AT+VGS=12", kOk);
    speaker_gain = 9;
    hfp_send_gain(true);
    ASSERT_TRUE(peer.wait_for("AT+VGS=9"));
    for (int gain : {10, 11, 12}) {
        speaker_gain = gain;
        hfp_send_gain(true);
    }
    peer.say(kOk);
    ASSERT_TRUE(peer.wait_for("AT+VGS=12")) << testing::PrintToString(peer.received());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Lines sent = peer.received();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "AT+VGS=10") + std::count(sent.begin(), sent.end(), "AT+VGS=11"), 0)
        << "values passed while a command was out are not sent";
    EXPECT_EQ(peer.overlaps(), Lines{});
    speaker_gain = microphone_gain = kMaxGain;

    EXPECT_EQ(gain_factor(15), 1.0);
    EXPECT_NEAR(gain_factor(5), 1.0 / 27, 1e-9);
    EXPECT_EQ(gain_factor(0), 0.0);
    EXPECT_EQ(gain_for_volume(0.01), 1) << "quiet is not mute";
    EXPECT_EQ(gain_for_volume(0.0), 0);
    EXPECT_EQ(gain_for_volume(0.5), 8);
    int16_t samples[] = {30000, -30000, 27};
    apply_gain(samples, 3, 5);
    EXPECT_EQ(std::vector<int16_t>(samples, samples + 3), (std::vector<int16_t>{1111, -1111, 1}));
}

}  // namespace
