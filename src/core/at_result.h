// One reader for the fields of a result line ("+CLCC: 1,0,0,0,0,\"+4930\",145"):
// every parser of the phone's results walks its line with it, so blanks,
// signs, quotes and lists are read the same way everywhere.
#pragma once
#include <string>
#include <string_view>
#include <vector>

class AtResult {
public:
    explicit AtResult(std::string_view line) : line_(line) {}
    // Moves past the prefix; at the line's start, or anywhere with anywhere.
    bool prefix(std::string_view prefix, bool anywhere = false);
    // A decimal with an optional sign; blanks before it are skipped.
    bool number(int* out);
    // A double-quoted string; false (and nothing read) when unterminated.
    bool quoted(std::string* out);
    // An unquoted token up to ',' or ')' ("1x" of a +CHLD list).
    bool token(std::string* out);
    bool comma();                 // ',' after optional blanks
    bool open();                  // '('
    bool close();                 // ')'
    // Skips the rest of the current field and the comma after it; false at the end.
    bool skip_field();
    bool at_end();

private:
    void blanks();
    std::string_view line_;
    size_t pos_ = 0;
};

// "+CIEV: <indicator>,<value>" anywhere in the line; both left alone on failure.
bool parse_ciev(const char* line, int* indicator, int* value);

// One row of the phone's answer to AT+CLCC.
struct ListedCall {
    int index = 0;
    bool incoming = false;   // dir 1: mobile terminated
    int status = 0;          // 0 active, 1 held, 2 dialling, 3 alerting, 4 incoming, 5 waiting
    bool multiparty = false;
    std::string number;
    std::string name;        // the phone's alpha field, when it sends one
    bool operator==(const ListedCall&) const = default;
};
bool parse_clcc(std::string_view line, ListedCall* out);
// "+VGS: n" or "+VGM: n" (also the old "=" form); 0..15.
bool parse_gain(std::string_view line, std::string_view prefix, int* gain);
// "+CHLD: (0,1,1x,2,2x,3,4)": the actions the phone offers.
bool parse_chld_list(std::string_view line, std::vector<std::string>* actions);
// "+BCS: n": the codec the phone picked.
bool parse_bcs(std::string_view line, int* codec);
