// Phone-data timings: parse 2000 cards, load and save both caches, search
// 2000 contacts. Targets: a search under 5 ms, a full cache load under 20 ms.
#include "base/files.h"
#include "world/processes.h"
#include "core/csv.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "store/phone_data.h"
#include "core/vcard.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

// Median of runs, in milliseconds.
double time_ms(int runs, const std::function<void()>& fn)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        fn();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void report(const char* what, double ms, double target_ms)
{
    if (target_ms > 0)
        std::printf("%-40s %8.3f ms   (target < %.0f ms: %s)\n", what, ms, target_ms, ms < target_ms ? "ok" : "MISSED");
    else
        std::printf("%-40s %8.3f ms\n", what, ms);
}

}  // namespace

int main()
{
    th::TempDir dir;
    if (chdir(dir.path().c_str()) != 0)
        return 1;

    // Android-style cards with a quoted-printable name each.
    std::string cards;
    for (int i = 0; i < 2000; ++i) {
        char buf[512];
        std::snprintf(buf, sizeof buf,
                      "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Garc=C3=ADa%04d;Jos=C3=A9;;;\r\n"
                      "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:Jos=C3=A9 Garc=C3=ADa%04d\r\n"
                      "TEL;CELL:+49 170 %07d\r\nTEL;HOME:030 %06d\r\nEND:VCARD\r\n",
                      i, i, i, i);
        cards += buf;
    }
    auto table = std::make_shared<PhonebookTable>();
    double parse = time_ms(20, [&] {
        table->count = 0;
        reduce_phonebook_vcards(cards, table->rows, kMaxContacts, &table->count);
    });
    report("parse 2000 vCards", parse, 0);
    table->prepare();

    double save_contacts = time_ms(20, [&] { save_contacts_table(*table, kContactsCsv); });
    report("save contacts.csv (2000 rows)", save_contacts, 0);
    auto loaded = std::make_unique<PhonebookTable>();
    double load_contacts = time_ms(20, [&] {
        std::string text = th::read_file(kContactsCsv);
        loaded->count = parse_contacts_csv(text, loaded->rows, kMaxContacts);
        loaded->prepare();
    });
    report("load contacts.csv (2000 rows)", load_contacts, 20);

    std::vector<RecentEntry> recents(kKeptRecents);
    for (int i = 0; i < kKeptRecents; ++i) {
        RecentEntry& r = recents[size_t(i)];
        r = RecentEntry{};
        std::snprintf(r.type, sizeof r.type, "%s", "📥 Incoming");
        std::snprintf(r.name, sizeof r.name, "Caller %d", i);
        std::snprintf(r.number, sizeof r.number, "+49 170 %07d", i);
        std::snprintf(r.time, sizeof r.time, "31.01.2024 09:%02d", i % 60);
    }
    double save_recents = time_ms(20, [&] {
        write_file_atomically(kRecentsCsv, format_recents_csv(recents.data(), int(recents.size())));
    });
    report("save recents.csv (100 rows)", save_recents, 0);
    std::vector<RecentEntry> back(kMaxRecents);
    double load_recents = time_ms(20, [&] {
        std::string text = th::read_file(kRecentsCsv);
        parse_recents_csv(text, back.data(), kMaxRecents);
    });
    report("load recents.csv (100 rows)", load_recents, 20);

    Contact out[kMaxShownContacts];
    double search_name = time_ms(50, [&] { search_contacts(*loaded, "garcía1999", out, kMaxShownContacts); });
    report("search 2000 contacts by name", search_name, 5);
    double search_number = time_ms(50, [&] { search_contacts(*loaded, "170 00019", out, kMaxShownContacts); });
    report("search 2000 contacts by number", search_number, 5);
    double search_none = time_ms(50, [&] { search_contacts(*loaded, "zz", out, kMaxShownContacts); });
    report("search 2000 contacts, no match", search_none, 5);
    return 0;
}
