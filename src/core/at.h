// The AT layer: a pure line splitter and result classifier, and the parsers
// of the phone's indicator list. RFCOMM is a byte stream: replies arrive
// split across reads and several lines arrive in one read, so nothing here
// judges a single read.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/at_result.h"

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
// The value at a 1-based indicator position of such a list, -1 when the
// list has none there.
int cind_value(const std::vector<int>& values, int index);
// "+BRSF: <features>" of the phone; bit 0 is three-way calling.
bool parse_brsf(std::string_view line, int* features);

// The name of a 1-based indicator position in the learnt map, "" when unknown.
std::string hfp_indicator_name(const IndicatorMap& map, int index);
