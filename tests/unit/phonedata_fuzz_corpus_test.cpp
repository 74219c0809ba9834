// The fuzz targets' corpora replayed as an ordinary test, so every input
// that once broke a parser stays fixed.
#include "../fuzz/phonedata_fuzz.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <functional>

namespace {

void replay(const std::string& folder, const std::function<bool(const uint8_t*, size_t)>& body)
{
    std::string dir = TELVANE_SOURCE_DIR "/tests/fuzz/corpus/";
    dir += folder;
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    int files = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string data = th::read_file(dir + "/" + e->d_name);
        ++files;
        EXPECT_TRUE(body(reinterpret_cast<const uint8_t*>(data.data()), data.size())) << e->d_name;
    }
    closedir(d);
    EXPECT_GT(files, 0);
}

TEST(FuzzCorpus, VcardReducer) { replay("vcard", phonedata_fuzz::vcard); }
TEST(FuzzCorpus, ContactsCsvReader) { replay("contacts_csv", phonedata_fuzz::contacts_csv); }
TEST(FuzzCorpus, RecentsCsvReader) { replay("recents_csv", phonedata_fuzz::recents_csv); }
TEST(FuzzCorpus, SettingsReader) { replay("settings", phonedata_fuzz::settings); }

}  // namespace
