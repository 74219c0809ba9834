#include "core/csv.h"

#include "core/text.h"

#include <initializer_list>
#include <optional>
#include <vector>

namespace {

void append_field(std::string& out, const char* text)
{
    out += '"';
    for (const char* p = text; *p; ++p) {
        if (*p == '"')
            out += "\"\"";
        else if (*p == '\n' || *p == '\r')
            out += ' ';   // one line per row, always
        else
            out += *p;
    }
    out += '"';
}

void append_row(std::string& out, std::initializer_list<const char*> fields)
{
    const char* separator = "";
    for (const char* field : fields) {
        out += separator;
        append_field(out, field);
        separator = ",";
    }
    out += '\n';
}

// Fields of a line written with doubled quotes; nullopt when the line is
// not in that form (for example an older line with a bare quote in a name).
std::optional<std::vector<std::string>> strict_fields(std::string_view line)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (true) {
        std::string field;
        if (i < line.size() && line[i] == '"') {
            ++i;
            while (true) {
                if (i >= line.size())
                    return std::nullopt;
                if (line[i] == '"') {
                    if (i + 1 < line.size() && line[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i++];
            }
        } else {
            return std::nullopt;   // every field is written quoted
        }
        fields.push_back(std::move(field));
        if (i == line.size())
            return fields;
        if (line[i] != ',')
            return std::nullopt;
        ++i;
    }
}

constexpr std::string_view kSeparator = "\",\"";

std::string_view cut_at_quote_or_lf(std::string_view text)
{
    size_t end = text.find_first_of("\"\n");
    return end == std::string_view::npos ? text : text.substr(0, end);
}

// Lines as older versions wrote them: fields between quotes, nothing escaped.
std::vector<std::string> legacy_fields(std::string_view line, size_t max_fields)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (fields.size() < max_fields) {
        if (i < line.size() && line[i] == '"')
            ++i;
        size_t sep = line.find(kSeparator, i);
        if (sep == std::string_view::npos) {
            fields.emplace_back(cut_at_quote_or_lf(line.substr(i)));
            break;
        }
        fields.emplace_back(line.substr(i, sep - i));
        i = sep + kSeparator.size() - 1;   // the next field starts at its opening quote
    }
    return fields;
}

std::vector<std::string> line_fields(std::string_view line, size_t expected)
{
    if (auto strict = strict_fields(line); strict && strict->size() == expected)
        return *strict;
    return legacy_fields(line, expected);
}

// Calls fn for each line after the first.
template <typename Fn>
void for_each_data_line(std::string_view data, Fn&& fn)
{
    size_t pos = data.find('\n');
    if (pos == std::string_view::npos)
        return;
    ++pos;
    while (pos < data.size()) {
        size_t end = data.find('\n', pos);
        std::string_view line = data.substr(pos, (end == std::string_view::npos ? data.size() : end) - pos);
        pos = end == std::string_view::npos ? data.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!fn(line))
            return;
    }
}

void store(char* dst, size_t size, const std::string& text) { copy_text(dst, size, std::string_view(utf8_repair(text))); }

}  // namespace

std::string format_contacts_csv(const Contact* rows, int count)
{
    std::string out = "name,number\n";
    for (int i = 0; i < count; ++i)
        append_row(out, {rows[i].name, rows[i].number});
    return out;
}

std::string format_recents_csv(const RecentEntry* rows, int count)
{
    std::string out = "type,name,number,time\n";
    for (int i = 0; i < count; ++i)
        append_row(out, {rows[i].type, rows[i].name, rows[i].number, rows[i].time});
    return out;
}

int parse_contacts_csv(std::string_view data, Contact* rows, int capacity)
{
    int count = 0;
    for_each_data_line(data, [&](std::string_view line) {
        if (count >= capacity)
            return false;
        std::vector<std::string> fields;
        if (auto strict = strict_fields(line); strict && strict->size() == 2) {
            fields = *strict;
        } else {
            // Older lines: the name ends at the first separator; no separator, no row.
            size_t start = (!line.empty() && line[0] == '"') ? 1 : 0;
            size_t sep = line.find(kSeparator, start);
            if (sep == std::string_view::npos)
                return true;
            fields = {std::string(line.substr(start, sep - start)),
                      std::string(cut_at_quote_or_lf(line.substr(sep + kSeparator.size())))};
        }
        Contact& row = rows[count++];
        store(row.name, sizeof row.name, fields[0]);
        store(row.number, sizeof row.number, fields[1]);
        return true;
    });
    return count;
}

int parse_recents_csv(std::string_view data, RecentEntry* rows, int capacity)
{
    int count = 0;
    for_each_data_line(data, [&](std::string_view line) {
        if (count >= capacity)
            return false;
        std::vector<std::string> fields = line_fields(line, 4);
        if (fields.size() != 4)
            return true;
        RecentEntry& row = rows[count++];
        row = RecentEntry{};
        copy_text(row.type, 16, std::string_view(utf8_repair(fields[0])));
        store(row.name, sizeof row.name, fields[1]);
        store(row.number, sizeof row.number, fields[2]);
        store(row.time, sizeof row.time, fields[3]);
        return true;
    });
    return count;
}
