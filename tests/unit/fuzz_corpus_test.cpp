// The fuzz targets' corpora replayed as an ordinary test, so every input
// that once broke a parser stays fixed.
#include "../fuzz/fuzz_bodies.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

void replay(const std::string& folder, bool (*body)(const uint8_t*, size_t))
{
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(TELVANE_SOURCE_DIR "/tests/" + folder)) {
        std::string data = th::read_file(e.path());
        ++files;
        EXPECT_TRUE(body(reinterpret_cast<const uint8_t*>(data.data()), data.size())) << e.path();
    }
    EXPECT_GT(files, 0);
}

TEST(FuzzCorpus, VcardReducer) { replay("data/phonedata", fuzz_body::vcard); }
TEST(FuzzCorpus, ContactsCsvReader) { replay("fuzz/corpus/contacts_csv", fuzz_body::contacts_csv); }
TEST(FuzzCorpus, RecentsCsvReader) { replay("fuzz/corpus/recents_csv", fuzz_body::recents_csv); }
TEST(FuzzCorpus, SettingsReader) { replay("fuzz/corpus/settings", fuzz_body::settings); }
TEST(FuzzCorpus, TelLink) { replay("fuzz/corpus/tel_link", fuzz_body::tel_link); }
TEST(FuzzCorpus, AtLines) { replay("fuzz/corpus/at", fuzz_body::at); }
TEST(FuzzCorpus, VoiceLink) { replay("fuzz/corpus/voice_link", fuzz_body::voice_link); }

}  // namespace
