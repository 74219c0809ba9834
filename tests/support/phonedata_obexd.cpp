#include "phonedata_obexd.h"

#include <cstdio>

namespace th {

std::string phonedata_fixture(const std::string& name)
{
    return TELVANE_SOURCE_DIR "/tests/data/phonedata/" + name;
}

std::string generated_vcards(int n, const std::string& name_prefix)
{
    std::string out;
    char buf[512];
    for (int i = 1; i <= n; ++i) {
        std::snprintf(buf, sizeof buf,
                      "BEGIN:VCARD\r\nVERSION:2.1\r\nN:;%s%04d;;;\r\nFN:%s%04d\r\n"
                      "TEL;CELL:+49170%06d\r\nEND:VCARD\r\n",
                      name_prefix.c_str(), i, name_prefix.c_str(), i, i);
        out += buf;
    }
    return out;
}

}  // namespace th
