// vCards as phones send them, reduced to contacts and call records, and the
// caches those are kept in.
#include "core/text.h"
#include "harness.h"
#include "core/csv.h"
#include "phonedata/missed.h"
#include "phonedata/recents.h"
#include "store/phone_data.h"
#include "core/vcard.h"
#include "phonedata_obexd.h"
#include "text_helpers.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <memory>
#include <tuple>
#include <vector>

namespace {

using Row = std::pair<std::string, std::string>;   // name, number

std::vector<Row> reduce(const std::string& data, int* cards = nullptr)
{
    auto rows = std::make_unique<Contact[]>(size_t(kMaxContacts));
    int count = 0, seen = reduce_phonebook_vcards(data, rows.get(), kMaxContacts, &count);
    if (cards)
        *cards = seen;
    std::vector<Row> out;
    for (int i = 0; i < count; ++i)
        out.push_back({rows[i].name, rows[i].number});
    return out;
}

std::string card(const std::string& body) { return "BEGIN:VCARD\r\nVERSION:2.1\r\n" + body + "END:VCARD\r\n"; }

template <class T>
using Case = std::tuple<const char*, std::string, std::vector<T>>;   // what, vCards, rows

TEST(PhonebookVcards, CardsReduceToOneNameAndOneNumber)
{
    const Case<Row> cases[] = {
        {"structured name without a formatted one", card("N:Doe;John;;;\r\nTEL:1234\r\n"), {{"John Doe", "1234"}}},
        {"structured name without a semicolon is no name", card("N:Doe\r\nTEL:1234\r\n"), {}},
        {"formatted name last wins", card("N:Doe;Jane;;;\r\nFN:Jane\r\nTEL:1\r\n"), {{"Jane", "1"}}},
        {"without PREF or CELL the last number wins", card("FN:A\r\nTEL;HOME:111\r\nTEL;WORK:222\r\nTEL;VOICE:333\r\n"),
         {{"A", "333"}}},
        {"first mobile number", card("FN:A\r\nTEL;HOME:1\r\nTEL;TYPE=cell:2\r\nTEL;CELL:3\r\nTEL;WORK:4\r\n"),
         {{"A", "2"}}},
        {"first preferred number", card("FN:A\r\nTEL;CELL:1\r\nTEL;WORK;PREF:2\r\nTEL;PREF:3\r\nTEL:4\r\n"),
         {{"A", "2"}}},
        {"preferred in a type list", card("FN:A\r\nTEL;TYPE=CELL:1\r\nTEL;TYPE=work,pref:2\r\n"), {{"A", "2"}}},
        {"a preferred fax is still a fax", card("FN:A\r\nTEL;HOME:1\r\nTEL;TYPE=FAX;TYPE=PREF:2\r\n"), {{"A", "1"}}},
        {"only fax and pager numbers: no number", card("FN:A\r\nTEL;WORK;FAX:1\r\nTEL;PAGER:2\r\n"), {}},
        {"quoted parameter value holding a colon", card("FN:A\r\nTEL;CELL:9\r\nTEL;TYPE=\"A:B\",PREF:1\r\n"),
         {{"A", "1"}}},
        {"undeclared Windows-1252 bytes", card("FN:\x93" "Caf\xe9\x94 \x80\r\nTEL:1\r\n"), {{"“Café” €", "1"}}},
        {"invalid bytes decoded", card("FN;ENCODING=QUOTED-PRINTABLE:=FF=C3(\r\nTEL:1\r\n"), {{"ÿÃ(", "1"}}},
        {"no name, no row", card("TEL:1\r\n"), {}},
        {"telephone line without colon ignored", card("FN:A\r\nTEL:1\r\nTEL;CELL\r\n"), {{"A", "1"}}},
        {"bare quoted-printable parameter, undeclared Latin-1", card("FN;QUOTED-PRINTABLE:Ren=E9\r\nTEL:1\r\n"),
         {{"René", "1"}}},
        {"soft line break joined", card("FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Anna =\r\nMaria =C3=\r\n=96berg\r\n"
                                        "TEL:1\r\n"), {{"Anna Maria Öberg", "1"}}},
        {"latin-1 charset converted", card("FN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:Fran=E7ois\r\nTEL:1\r\n"),
         {{"François", "1"}}},
        {"escaped comma and semicolon", card("FN:Smith\\, John\r\nTEL:1\r\n"), {{"Smith, John", "1"}}},
        {"escaped semicolon in a structured name", card("N:O\\;Neil;Pat;;;\r\nTEL:1\r\n"), {{"Pat O;Neil", "1"}}},
        {"only a family name", card("N:Doe;;;;\r\nTEL:1\r\n"), {{"Doe", "1"}}},
        {"property names in lower case", card("fn:lower\r\ntel:5\r\n"), {{"lower", "5"}}},
        {"photo lines skipped",
         card("FN:P\r\nPHOTO;ENCODING=BASE64;JPEG:/9j/4AAQ\r\n FN:notaname\r\n TEL:0\r\n\r\nTEL:7\r\n"), {{"P", "7"}}},
        {"line feeds only", "BEGIN:VCARD\nFN:Unix\nTEL:9\nEND:VCARD\n", {{"Unix", "9"}}},
        {"missing end carries over", "BEGIN:VCARD\r\nFN:First\r\nBEGIN:VCARD\r\nTEL:2\r\nEND:VCARD\r\n",
         {{"First", "2"}}},
    };
    for (const auto& [what, data, expected] : cases)
        EXPECT_EQ(reduce(data), expected) << what;
}

// 64 two-byte characters would need 128 bytes; the fuzz corpus asks for valid text in general.
TEST(PhonebookVcards, TextsAreCutOnACharacterBoundary)
{
    EXPECT_EQ(reduce(card("FN:" + unit::repeat("é", 64) + "\r\nTEL:" + std::string(40, 'x') + "😀😀😀😀😀😀\r\n")),
              (std::vector<Row>{{unit::repeat("é", 63), unit::cat(std::string(40, 'x'), "😀😀😀😀😀")}}));
}

TEST(PhonebookVcards, IphoneFixture)
{
    int cards = 0;
    EXPECT_EQ(reduce(th::read_file(th::phonedata_fixture("iphone_pb.vcf")), &cards),
              (std::vector<Row>{{"Jürgen Müller", "+49 (151) 2345-678"},
                                {"John Doe", "555 12 34"},
                                {"Very Long Name That Is Folded Over Two Physical Lines Because The Phone "
                                 "Folds At Seventy Five Characters",
                                 "+1 202 555 0199"},
                                {"François Lefèvre", "+33 6 12 34 56 78"},
                                {"Apple Grouped", "+1 (408) 555-0142"}}));
    EXPECT_EQ(cards, 5);
}

TEST(PhonebookVcards, TwentyFiveHundredCardsFillTwoThousandRows)
{
    int cards = 0;
    auto rows = reduce(th::generated_vcards(2500), &cards);
    EXPECT_EQ(cards, 2500);
    ASSERT_EQ(rows.size(), 2000u);
    EXPECT_EQ(rows.front(), (Row{"Contact 0001", "+49170000001"}));
    EXPECT_EQ(rows.back(), (Row{"Contact 2000", "+49170002000"}));
}

using Record = std::tuple<std::string, std::string, std::string, std::string, std::string>;   // type .. sort key

std::vector<Record> reduce_history(const std::string& data)
{
    auto rows = std::make_unique<RecentEntry[]>(size_t(kMaxRecents));
    int count = reduce_call_history_vcards(data, "❌ Missed", rows.get(), kMaxRecents, 0);
    std::vector<Record> out;
    for (int i = 0; i < count; ++i)
        out.push_back({rows[i].type, rows[i].name, rows[i].number, rows[i].time, rows[i].sort_key});
    return out;
}

TEST(CallHistoryVcards, RecordsCarryLabelNameNumberAndTime)
{
    const Case<Record> cases[] = {
        {"type parameter on the date", card("FN:A\r\nTEL:1\r\nX-IRMC-CALL-DATETIME;MISSED:20240131T094500\r\n"),
         {{"❌ Missed", "A", "1", "31.01.2024 09:45", "20240131T094500"}}},
        {"date without parameter, with zone", card("TEL:1\r\nX-IRMC-CALL-DATETIME:20240131T094500Z\r\n"),
         {{"❌ Missed", "-", "1", "31.01.2024 09:45", "20240131T094500Z"}}},
        {"short date shown as it is", card("FN:A\r\nTEL:1\r\nX-IRMC-CALL-DATETIME:2024-01-31\r\n"),
         {{"❌ Missed", "A", "1", "2024-01-31", "2024-01-31"}}},
        {"structured name only (2.1)", card("N:Doe;John;;;\r\nTEL:1\r\n"), {{"❌ Missed", "John Doe", "1", "-", ""}}},
        {"formatted name beats the structured one", card("N:Doe;John;;;\r\nFN:Johnny\r\nTEL:1\r\n"),
         {{"❌ Missed", "Johnny", "1", "-", ""}}},
        {"the last number, as the phone logged it", card("FN:A\r\nTEL;CELL:1\r\nTEL;FAX:2\r\n"),
         {{"❌ Missed", "A", "2", "-", ""}}},
        {"no number, no record", card("FN:A\r\nX-IRMC-CALL-DATETIME:20240131T094500\r\n"), {}},
        {"long key cut to 19 bytes", card("TEL:1\r\nX-IRMC-CALL-DATETIME:20240131T094500+0100EXTRA\r\n"),
         {{"❌ Missed", "-", "1", "31.01.2024 09:45", "20240131T094500+010"}}},
    };
    for (const auto& [what, data, expected] : cases)
        EXPECT_EQ(reduce_history(data), expected) << what;
}

TEST(CallHistoryVcards, SortNewestFirstUndatedLastAndCutToOneHundred)
{
    std::vector<RecentEntry> rows(150);
    for (size_t i = 0; i < rows.size(); ++i)
        if (i % 3 != 0)
            g_snprintf(rows[i].sort_key, sizeof rows[i].sort_key, "2024%02zu01T120000", 1 + i % 12);
    EXPECT_EQ(sort_and_cut_recents(rows.data(), 150), 100);
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_GE(std::string(rows[i - 1].sort_key), std::string(rows[i].sort_key)) << i;
    EXPECT_STREQ(rows[0].sort_key, "20241201T120000");
}

// The contacts and call-history caches: nothing a name can hold loses a row,
// and older files still load. (Saves that fail are tried on the real binary.)
// A call declined on the phone is not one of its missed calls; one the caller
// gave up is, written down just now. Rows are newest first, as a sync leaves them.
TEST(MissedCall, OnlyWhatThePhoneWroteDownAsMissedJustNowCounts)
{
    const std::string now = "20240131T094500";
    auto row = [](const char* type, const char* number, const char* key) {
        RecentEntry e{};
        copy_text(e.type, type);
        copy_text(e.number, number);
        copy_text(e.sort_key, key);
        return e;
    };
    const struct { const char* name; std::vector<RecentEntry> rows; const char* number; bool missed; } cases[] = {
        {"missed just now", {row("❌ Missed", "+49 151 1234-5678", "20240131T094430")}, "015112345678", true},
        {"clocks ten minutes apart", {row("❌ Missed", "015112345678", "20240131T095500")}, "015112345678", true},
        {"declined: newest is incoming, an old miss below",
         {row("📥 Incoming", "015112345678", "20240131T094430"), row("❌ Missed", "015112345678", "20240130T080000")},
         "015112345678", false},
        {"only an old miss", {row("❌ Missed", "015112345678", "20240131T070000")}, "015112345678", false},
        {"undated miss", {row("❌ Missed", "015112345678", "-")}, "015112345678", true},
        {"another number missed", {row("❌ Missed", "0301234567", "20240131T094430")}, "015112345678", false},
        {"nothing written down", {}, "015112345678", false},
        {"withheld number", {row("❌ Missed", "", "20240131T094430")}, "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(history_says_missed(c.rows.data(), int(c.rows.size()), c.number, now), c.missed) << c.name;
    EXPECT_EQ(history_key_now().size(), 15u);
}

TEST(CacheCsv, HostileNamesRoundTripInBothCaches)
{
    const char* names[] = {"Bob \"The Builder\" Jones", "\"Quoted\"", "Smith, John", "Evil\",\"555",
                           "Trailing quote\"", "\"", ",", "José García 山田", ""};
    const int n = int(std::size(names));
    std::vector<Contact> contacts(n), contacts_back(n + 5);
    std::vector<RecentEntry> recents(n), recents_back(n);
    for (int i = 0; i < n; ++i) {
        copy_text(contacts[i].name, names[i]);
        copy_text(contacts[i].number, "+49 \"170\", 1");
        copy_text(recents[i].type, "📥 Incoming");
        copy_text(recents[i].name, names[i]);
        copy_text(recents[i].number, "\"1\",\"2\"");
        copy_text(recents[i].time, "31.01.2024 09:45");
    }
    ASSERT_EQ(parse_contacts_csv(format_contacts_csv(contacts.data(), n), contacts_back.data(), n + 5), n);
    ASSERT_EQ(parse_recents_csv(format_recents_csv(recents.data(), n), recents_back.data(), n), n);
    auto text = [](const auto&... fields) { return ((std::string(fields) + "|") + ...); };
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(text(contacts_back[i].name, contacts_back[i].number), text(names[i], "+49 \"170\", 1"));
        const RecentEntry& r = recents_back[i];
        EXPECT_EQ(text(r.type, r.name, r.number, r.time),
                  text("📥 Incoming", names[i], "\"1\",\"2\"", "31.01.2024 09:45"));
    }
}

TEST(CacheCsv, LinesOfTheUnescapedFormatStillLoad)
{
    auto contact = [](const std::string& line) -> std::string {   // "name|number", "" for no row
        Contact rows[2];
        return parse_contacts_csv("name,number\n" + line + "\n", rows, 2) == 1
                   ? std::string(rows[0].name) + "|" + rows[0].number : "";
    };
    const std::pair<const char*, const char*> contacts[] = {
        {"\"Bob \"The Builder\" Jones\",\"555\"", "Bob \"The Builder\" Jones|555"},
        {"\"Smith, John\",\"555\"", "Smith, John|555"},
        // A separator inside a name cuts it; the number is the rest up to its next quote.
        {"\"Evil\",\"Name\",\"555\"", "Evil|Name"},
        {"\"no separator\"", ""}, {"John,555", ""}, {"\"Windows\",\"555\"\r", "Windows|555"},
    };
    for (const auto& [line, row] : contacts)
        EXPECT_EQ(contact(line), row) << line;
    auto recent_name = [](const std::string& line) -> std::string {   // "" for no row
        RecentEntry r[1];
        return parse_recents_csv("type,name,number,time\n" + line + "\n", r, 1) == 1 ? r[0].name : "";
    };
    EXPECT_EQ(recent_name("\"❌ Missed\",\"Bob \"B\" J\",\"555\",\"-\""), "Bob \"B\" J");
    EXPECT_EQ(recent_name("\"❌ Missed\",\"Jane\",\"555\""), "");
    EXPECT_EQ(recent_name("\"❌ Missed\",\"Jane\",\"555\",\"-\",\"extra\""), "Jane");
}

TEST(CacheCsv, FirstLineIsSkippedWhateverItHoldsAndTheTableHasACeiling)
{
    Contact rows[3];
    EXPECT_EQ(parse_contacts_csv("", rows, 3), 0);
    EXPECT_EQ(parse_contacts_csv("\"A\",\"1\"\n\"B\",\"2\"\n", rows, 3), 1);
    EXPECT_STREQ(rows[0].name, "B");
    EXPECT_EQ(parse_contacts_csv("h\n\"A\",\"1\"\n\"B\",\"2\"\n\"C\",\"3\"\n\"D\",\"4\"\n", rows, 3), 3);
}

}  // namespace
