// The contacts and call-history caches: nothing a name can hold loses a row,
// and older files still load. (Saves that fail are tried on the real binary.)
#include "phonedata/csv.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <vector>

namespace {

Contact contact(const char* name, const char* number)
{
    Contact c{};
    g_strlcpy(c.name, name, sizeof c.name);
    g_strlcpy(c.number, number, sizeof c.number);
    return c;
}

TEST(CacheCsv, HostileNamesRoundTripInBothCaches)
{
    const char* names[] = {"Bob \"The Builder\" Jones", "\"Quoted\"", "Smith, John", "Evil\",\"555",
                           "Trailing quote\"", "\"", ",", "José García 山田", ""};
    std::vector<Contact> contacts;
    std::vector<RecentEntry> recents;
    for (const char* name : names) {
        contacts.push_back(contact(name, "+49 \"170\", 1"));
        RecentEntry r{};
        g_strlcpy(r.type, "📥 Incoming", sizeof r.type);
        g_strlcpy(r.name, name, sizeof r.name);
        g_strlcpy(r.number, "\"1\",\"2\"", sizeof r.number);
        g_strlcpy(r.time, "31.01.2024 09:45", sizeof r.time);
        recents.push_back(r);
    }
    const int n = int(contacts.size());
    std::vector<Contact> contacts_back(size_t(n) + 5);
    ASSERT_EQ(parse_contacts_csv(format_contacts_csv(contacts.data(), n), contacts_back.data(), n + 5), n);
    std::vector<RecentEntry> recents_back(recents.size());
    ASSERT_EQ(parse_recents_csv(format_recents_csv(recents.data(), n), recents_back.data(), n), n);
    for (size_t i = 0; i < size_t(n); ++i) {
        EXPECT_STREQ(contacts_back[i].name, names[i]);
        EXPECT_STREQ(contacts_back[i].number, contacts[i].number);
        EXPECT_STREQ(recents_back[i].type, recents[i].type);
        EXPECT_STREQ(recents_back[i].name, names[i]);
        EXPECT_STREQ(recents_back[i].number, recents[i].number);
        EXPECT_STREQ(recents_back[i].time, recents[i].time);
    }
}

TEST(CacheCsv, LinesOfTheUnescapedFormatStillLoad)
{
    struct Row {
        const char* line;
        const char* name;
        const char* number;   // nullptr: no row
    };
    const Row contacts[] = {
        {"\"Bob \"The Builder\" Jones\",\"555\"", "Bob \"The Builder\" Jones", "555"},
        {"\"Smith, John\",\"555\"", "Smith, John", "555"},
        // A separator inside a name cuts it; the number is the rest up to its next quote.
        {"\"Evil\",\"Name\",\"555\"", "Evil", "Name"},
        {"\"no separator\"", nullptr, nullptr},
        {"John,555", nullptr, nullptr},
        {"\"Windows\",\"555\"\r", "Windows", "555"},
    };
    for (const Row& c : contacts) {
        Contact rows[2];
        int n = parse_contacts_csv(std::string("name,number\n") + c.line + "\n", rows, 2);
        ASSERT_EQ(n, c.number ? 1 : 0) << c.line;
        if (n) {
            EXPECT_STREQ(rows[0].name, c.name);
            EXPECT_STREQ(rows[0].number, c.number);
        }
    }
    const Row recents[] = {
        {"\"❌ Missed\",\"Bob \"B\" J\",\"555\",\"-\"", "Bob \"B\" J", ""},
        {"\"❌ Missed\",\"Jane\",\"555\"", nullptr, nullptr},
        {"\"❌ Missed\",\"Jane\",\"555\",\"-\",\"extra\"", "Jane", ""},
    };
    for (const Row& c : recents) {
        RecentEntry r[1];
        ASSERT_EQ(parse_recents_csv(std::string("type,name,number,time\n") + c.line + "\n", r, 1), c.name ? 1 : 0);
        if (c.name) {
            EXPECT_STREQ(r[0].name, c.name);
        }
    }
}

TEST(CacheCsv, FirstLineIsSkippedWhateverItHoldsAndTheTableHasACeiling)
{
    Contact rows[3];
    EXPECT_EQ(parse_contacts_csv("", rows, 3), 0);
    EXPECT_EQ(parse_contacts_csv("\"A\",\"1\"\n\"B\",\"2\"\n", rows, 3), 1);
    EXPECT_STREQ(rows[0].name, "B");
    EXPECT_EQ(parse_contacts_csv("h\n\"A\",\"1\"\n\"B\",\"2\"\n\"C\",\"3\"\n\"D\",\"4\"\n", rows, 3), 3);
    // Invalid bytes from a hand-edited file never reach the lists.
    EXPECT_EQ(parse_contacts_csv("h\n\"Bad \xff\",\"1\"\n", rows, 3), 1);
    EXPECT_TRUE(g_utf8_validate(rows[0].name, -1, nullptr));
}

}  // namespace
