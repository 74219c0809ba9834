#include "at_fuzz_entry.h"

#include "hfp/at.h"

#include <string>
#include <vector>

// The first byte chooses how the rest is cut into reads, so the fuzzer
// explores read boundaries too. Whatever the cut, the lines must be the
// same as from one read, short enough, and free of line ends.
bool at_fuzz_one(const uint8_t* data, size_t size)
{
    if (size == 0)
        return true;
    size_t step = (data[0] % 17) + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;

    AtLineSplitter whole, pieces;
    std::vector<std::string> expected = whole.feed(text, n);
    std::vector<std::string> got;
    for (size_t off = 0; off < n; off += step) {
        size_t len = n - off < step ? n - off : step;
        for (std::string& line : pieces.feed(text + off, len))
            got.push_back(std::move(line));
    }
    if (got != expected)
        return false;

    for (const std::string& line : got) {
        if (line.empty() || line.size() > AtLineSplitter::kMaxLine)
            return false;
        if (line.find_first_of("\r\n") != std::string::npos)
            return false;
        AtFinal final = classify_final(line);
        if (final != AtFinal::NONE && is_unsolicited(line))
            return false;
        IndicatorMap map;
        if (parse_cind_test(line, &map)) {
            if (map.call < 1 || map.callsetup < 1 || map.call == map.callsetup)
                return false;
        }
    }
    // The parser also takes text that never went through the splitter.
    IndicatorMap map;
    parse_cind_test(std::string_view(text, n), &map);
    return true;
}
