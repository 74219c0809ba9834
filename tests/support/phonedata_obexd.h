// vCard fixtures for phone-data tests (the stand-in obexd is in tools/world/buses.h).
#pragma once
#include "harness.h"

#include <glib.h>

#include <string>

namespace th {

// Path of a hand-written vCard fixture under tests/data/phonedata.
inline std::string phonedata_fixture(const std::string& name)
{
    return TELVANE_SOURCE_DIR "/tests/data/phonedata/" + name;
}

// n generated cards "Contact 0001" with number "+49170000001", Android style.
inline std::string generated_vcards(int n)
{
    std::string out;
    for (int i = 1; i <= n; ++i) {
        gchar* card = g_strdup_printf("BEGIN:VCARD\r\nVERSION:2.1\r\nN:;Contact %04d;;;\r\nFN:Contact %04d\r\n"
                                      "TEL;CELL:+49170%06d\r\nEND:VCARD\r\n", i, i, i);
        out += card;
        g_free(card);
    }
    return out;
}

}  // namespace th
