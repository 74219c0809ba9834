#include "hfp/at.h"

// Stub: the AT layer lands with the hands-free connection work.
AtFinal classify_final(std::string_view) { return AtFinal::NONE; }
std::vector<std::string> AtLineSplitter::feed(const char*, size_t) { return {}; }
void AtLineSplitter::reset() { partial_.clear(); discarding_ = false; }
bool parse_cind_test(std::string_view, IndicatorMap*) { return false; }
IndicatorMap hfp_indicator_map() { return IndicatorMap{}; }
void hfp_set_indicator_map(const IndicatorMap&) {}
bool AtReply::contains(std::string_view) const { return false; }
std::string AtReply::joined() const { return {}; }
bool AtChannel::send(std::string_view) { return false; }
AtReply AtChannel::exchange(std::string_view, int, int) { return {}; }
std::vector<std::string> AtChannel::read_lines(int, bool* io_error)
{
    if (io_error)
        *io_error = true;
    return {};
}
std::vector<std::string> AtChannel::take_unsolicited() { return {}; }
bool is_unsolicited(std::string_view) { return false; }
