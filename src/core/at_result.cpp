#include "core/at_result.h"

#include <climits>

void AtResult::blanks()
{
    while (pos_ < line_.size() && (line_[pos_] == ' ' || line_[pos_] == '\t'))
        ++pos_;
}

bool AtResult::prefix(std::string_view prefix, bool anywhere)
{
    size_t at = line_.find(prefix, pos_);
    if (at == std::string_view::npos || (!anywhere && at != pos_))
        return false;
    pos_ = at + prefix.size();
    return true;
}

bool AtResult::number(int* out)
{
    size_t start = pos_;
    blanks();
    bool negative = false;
    if (pos_ < line_.size() && (line_[pos_] == '-' || line_[pos_] == '+'))
        negative = line_[pos_++] == '-';
    long long value = 0;
    size_t digits = 0;
    while (pos_ < line_.size() && line_[pos_] >= '0' && line_[pos_] <= '9') {
        value = value * 10 + (line_[pos_++] - '0');
        if (value > INT_MAX) {
            pos_ = start;
            return false;
        }
        ++digits;
    }
    if (digits == 0) {
        pos_ = start;
        return false;
    }
    *out = static_cast<int>(negative ? -value : value);
    return true;
}

bool AtResult::quoted(std::string* out)
{
    size_t start = pos_;
    blanks();
    if (pos_ >= line_.size() || line_[pos_] != '"') {
        pos_ = start;
        return false;
    }
    size_t end = line_.find('"', pos_ + 1);
    if (end == std::string_view::npos) {
        pos_ = start;
        return false;
    }
    *out = std::string(line_.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end + 1;
    return true;
}

bool AtResult::token(std::string* out)
{
    blanks();
    size_t end = pos_;
    while (end < line_.size() && line_[end] != ',' && line_[end] != ')' && line_[end] != ' ')
        ++end;
    if (end == pos_)
        return false;
    *out = std::string(line_.substr(pos_, end - pos_));
    pos_ = end;
    return true;
}

bool AtResult::comma()
{
    blanks();
    if (pos_ < line_.size() && line_[pos_] == ',') {
        ++pos_;
        return true;
    }
    return false;
}

bool AtResult::open()
{
    blanks();
    if (pos_ < line_.size() && line_[pos_] == '(') {
        ++pos_;
        return true;
    }
    return false;
}

bool AtResult::close()
{
    blanks();
    if (pos_ < line_.size() && line_[pos_] == ')') {
        ++pos_;
        return true;
    }
    return false;
}

bool AtResult::skip_field()
{
    bool in_quotes = false;
    int depth = 0;
    for (; pos_ < line_.size(); ++pos_) {
        char c = line_[pos_];
        if (c == '"')
            in_quotes = !in_quotes;
        else if (!in_quotes && c == '(')
            ++depth;
        else if (!in_quotes && c == ')' && depth > 0)
            --depth;
        else if (!in_quotes && depth == 0 && c == ',') {
            ++pos_;
            return true;
        }
    }
    return false;
}

bool AtResult::at_end()
{
    blanks();
    return pos_ >= line_.size();
}

bool parse_ciev(const char* line, int* indicator, int* value)
{
    if (!line)
        return false;
    AtResult r(line);
    int first = 0, second = 0;
    if (!r.prefix("+CIEV:", true) || !r.number(&first) || !r.comma() || !r.number(&second))
        return false;
    *indicator = first;
    *value = second;
    return true;
}

bool parse_clcc(std::string_view line, ListedCall* out)
{
    AtResult r(line);
    ListedCall call;
    int dir = 0, mode = 0, mpty = 0;
    if (!r.prefix("+CLCC:", true) || !r.number(&call.index) || !r.comma() || !r.number(&dir) || !r.comma() ||
        !r.number(&call.status) || !r.comma() || !r.number(&mode) || !r.comma() || !r.number(&mpty))
        return false;
    if (call.index < 1 || (dir != 0 && dir != 1) || call.status < 0 || call.status > 5)
        return false;
    call.incoming = dir == 1;
    call.multiparty = mpty == 1;
    if (r.comma() && r.quoted(&call.number) && r.comma() && r.skip_field())
        r.quoted(&call.name);
    *out = std::move(call);
    return true;
}

bool parse_gain(std::string_view line, std::string_view prefix, int* gain)
{
    AtResult r(line);
    int value = 0;
    if (!r.prefix(prefix, true))
        return false;
    if (!r.prefix(":") && !r.prefix("="))
        return false;
    if (!r.number(&value) || value < 0 || value > 15)
        return false;
    *gain = value;
    return true;
}

bool parse_chld_list(std::string_view line, std::vector<std::string>* actions)
{
    AtResult r(line);
    if (!r.prefix("+CHLD:", true) || !r.open())
        return false;
    std::vector<std::string> found;
    std::string action;
    do {
        if (!r.token(&action) || found.size() >= 16)
            return false;
        found.push_back(action);
    } while (r.comma());
    if (!r.close())
        return false;
    *actions = std::move(found);
    return true;
}

bool parse_bcs(std::string_view line, int* codec)
{
    AtResult r(line);
    int value = 0;
    if (!r.prefix("+BCS:", true) || !r.number(&value) || value < 0)
        return false;
    *codec = value;
    return true;
}
