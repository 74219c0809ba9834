// The AT layer: a pure line splitter and result classifier, the parsers of
// the phone's indicator list, and a thin blocking channel over one RFCOMM
// socket. RFCOMM is a byte stream: replies arrive split across reads and
// several lines arrive in one read, so nothing here judges a single read.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Final result codes that complete a command's reply.
enum class AtFinal { NONE, OK, ERROR, CME_ERROR, NO_CARRIER, BUSY, NO_ANSWER };
AtFinal classify_final(std::string_view line);

// Splits a byte stream into lines (CR and/or LF end a line; empty lines are
// dropped). A line longer than kMaxLine is cut there and the rest of it, up
// to its line end, is discarded, never merged into the next line. NUL and
// other binary bytes are kept as they are; callers treat lines as bytes.
class AtLineSplitter {
public:
    static constexpr size_t kMaxLine = 511;
    std::vector<std::string> feed(const char* data, size_t n);
    void reset();
    bool has_partial() const { return !partial_.empty(); }

private:
    std::string partial_;
    bool discarding_ = false;
};

// 1-based positions of the indicators the phone lists for "AT+CIND=?";
// -1 when absent. Defaults: 1 = call, 2 = callsetup (used when the phone's
// answer cannot be parsed).
struct IndicatorMap {
    int call = 1;
    int callsetup = 2;
    int callheld = -1;
    int service = -1;
    int signal = -1;
    int roam = -1;
    int battchg = -1;
    std::vector<std::string> names;   // every listed indicator, lower case, in order
};
// Parses a "+CIND: ("service",(0,1)),("call",(0,1)),..." line. False when
// it holds no recognisable list or lacks "call"/"callsetup".
bool parse_cind_test(std::string_view line, IndicatorMap* out);

// "+CIND: 1,0,0,4,..." (the answer to AT+CIND?): the values in order.
bool parse_cind_values(std::string_view line, std::vector<int>* out);
// "+BRSF: <features>" of the phone; bit 0 is three-way calling.
bool parse_brsf(std::string_view line, int* features);
// "+CIEV: <indicator>,<value>" anywhere in the line; both left alone on failure.
bool parse_ciev(const char* line, int* indicator, int* value);

// The map learnt from the phone by the last handshake, shared by the reader
// threads of both connections.
IndicatorMap hfp_indicator_map();
void hfp_set_indicator_map(const IndicatorMap& map);
// The name of a 1-based indicator position in the learnt map, "" when unknown.
std::string hfp_indicator_name(const IndicatorMap& map, int index);

// One reply to one command.
struct AtReply {
    std::vector<std::string> lines;         // every line received, in order
    AtFinal final = AtFinal::NONE;          // NONE when the wait ran out
    bool io_error = false;                  // read returned 0 or failed
    bool write_failed = false;              // the command did not go out; nothing was read
    size_t bytes = 0;                       // bytes read for this reply
    bool contains(std::string_view text) const;
    std::string joined() const;             // lines joined with " | " for logs
};

// Blocking AT exchange over one socket, with every wait bounded.
// Holds a duplicate of the link's descriptor: whoever owns the link may shut
// it down and close it while another thread is still in an exchange, and
// that thread then sees the link closed instead of reading or writing
// whatever socket reuses the number next.
class AtChannel {
public:
    explicit AtChannel(int fd);
    ~AtChannel();
    AtChannel(const AtChannel&) = delete;
    AtChannel& operator=(const AtChannel&) = delete;
    // One write of the command's own length; false when it did not go out whole.
    bool send(std::string_view command);
    // Sends, sleeps min_wait_ms, then reads until a final result code arrives
    // or timeout_ms (counted from the send) runs out. Lines that are not part
    // of the reply (unsolicited codes such as RING, +CLIP:, +CIEV:) are
    // collected for take_unsolicited() so the caller's reader can handle them.
    // AtReply::lines holds every line read before the final code, unsolicited
    // ones included (for logs and substring checks); lines read after the final
    // code in the same read go to take_unsolicited() only.
    AtReply exchange(std::string_view command, int min_wait_ms, int timeout_ms);
    // Reads once with a timeout; returns the complete lines received (maybe none).
    // Sets *io_error when the link is closed or failed.
    std::vector<std::string> read_lines(int timeout_ms, bool* io_error);
    std::vector<std::string> take_unsolicited();
    // The descriptor the channel was made from, to tell links apart.
    int source_fd() const { return source_fd_; }

private:
    int source_fd_;
    int fd_;
    AtLineSplitter splitter_;
    std::vector<std::string> unsolicited_;
};

// True for lines the phone sends on its own: RING, +CLIP:, +CIEV:, +CCWA:, +BSIR: ...
bool is_unsolicited(std::string_view line);

// What the phone's answer to ATD says: taken by "OK" or by a call or
// callsetup event for it; refused by "ERROR", "+CME ERROR", "NO CARRIER",
// "BUSY", "NO ANSWER". Other indicators (signal, battery) say nothing.
enum class DialVerdict { ACCEPTED, REFUSED, UNKNOWN };
DialVerdict judge_dial_reply(const AtReply& reply, const IndicatorMap& map);
