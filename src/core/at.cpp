#include "core/at.h"

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

AtFinal classify_final(std::string_view line)
{
    std::string_view s = trim(line);
    if (s == "OK")
        return AtFinal::OK;
    if (s == "ERROR" || starts_with(s, "+CMS ERROR") || s == "NO DIALTONE" || s == "NO DIAL TONE")
        return AtFinal::ERROR;
    if (starts_with(s, "+CME ERROR"))
        return AtFinal::CME_ERROR;
    if (s == "NO CARRIER")
        return AtFinal::NO_CARRIER;
    if (s == "BUSY")
        return AtFinal::BUSY;
    if (s == "NO ANSWER")
        return AtFinal::NO_ANSWER;
    return AtFinal::NONE;
}

std::vector<std::string> AtLineSplitter::feed(const char* data, size_t n)
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < n; i++) {
        char c = data[i];
        if (c == '\r' || c == '\n') {
            if (discarding_)
                discarding_ = false;
            else if (!partial_.empty())
                lines.push_back(std::move(partial_));
            partial_.clear();
            continue;
        }
        if (discarding_)
            continue;
        partial_.push_back(c);
        if (partial_.size() == kMaxLine) {
            // Cut here; the rest up to the line end is dropped, not joined to the next line.
            lines.push_back(std::move(partial_));
            partial_.clear();
            discarding_ = true;
        }
    }
    return lines;
}

void AtLineSplitter::reset()
{
    partial_.clear();
    discarding_ = false;
}

bool parse_cind_test(std::string_view line, IndicatorMap* out)
{
    size_t start = line.find("+CIND:");
    if (start == std::string_view::npos)
        return false;
    IndicatorMap map{-1, -1, -1, -1, -1, -1, -1, {}};
    int depth = 0, index = 0;
    bool named = false;
    for (size_t i = start + 6; i < line.size(); i++) {
        char c = line[i];
        if (c == '(') {
            if (++depth == 1) {
                if (++index > 64)
                    break;
                named = false;
            }
        } else if (c == ')') {
            if (depth > 0)
                depth--;
        } else if (c == '"') {
            size_t end = line.find('"', i + 1);
            if (end == std::string_view::npos)
                break;
            if (depth == 1 && !named) {
                named = true;
                std::string name = lower(trim(line.substr(i + 1, end - i - 1)));
                // Older phones write the two-word names with an underscore.
                int* slot = name == "call"                              ? &map.call
                            : name == "callsetup" || name == "call_setup" ? &map.callsetup
                            : name == "callheld" || name == "call_held"   ? &map.callheld
                            : name == "service"                           ? &map.service
                            : name == "signal"                            ? &map.signal
                            : name == "roam"                              ? &map.roam
                            : name == "battchg"                           ? &map.battchg
                                                                          : nullptr;
                if (slot && *slot < 0)
                    *slot = index;
                map.names.resize(static_cast<size_t>(index));
                map.names[static_cast<size_t>(index) - 1] = name == "call_setup" ? "callsetup"
                                                            : name == "call_held"  ? "callheld"
                                                                                   : name;
            }
            i = end;
        }
    }
    if (map.call < 0 || map.callsetup < 0)
        return false;
    if (out)
        *out = map;
    return true;
}

bool parse_cind_values(std::string_view line, std::vector<int>* out)
{
    size_t start = line.find("+CIND:");
    if (start == std::string_view::npos || line.find('(', start) != std::string_view::npos)
        return false;
    AtResult r(line.substr(start));
    r.prefix("+CIND:");
    std::vector<int> values;
    do {
        int value = 0;
        if (!r.number(&value) || value < 0 || value > 9999 || values.size() >= 64)
            return false;
        values.push_back(value);
    } while (r.comma());
    if (!r.at_end())
        return false;
    *out = std::move(values);
    return true;
}

bool parse_brsf(std::string_view line, int* features)
{
    AtResult r(line);
    int value = 0;
    if (!r.prefix("+BRSF:", true) || !r.number(&value) || value < 0)
        return false;
    *features = value;
    return true;
}

std::string hfp_indicator_name(const IndicatorMap& map, int index)
{
    if (index >= 1 && static_cast<size_t>(index) <= map.names.size())
        return map.names[static_cast<size_t>(index) - 1];
    return "";
}

int cind_value(const std::vector<int>& values, int index)
{
    return index >= 1 && static_cast<size_t>(index) <= values.size() ? values[static_cast<size_t>(index) - 1] : -1;
}
