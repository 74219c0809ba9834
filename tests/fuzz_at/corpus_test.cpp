// Every input of the fuzz corpus, run as an ordinary test.
#include "at_fuzz_entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

TEST(AtFuzzCorpus, EveryInputKeepsTheInvariants)
{
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(AT_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(at_fuzz_one(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())) << entry.path();
        count++;
    }
    EXPECT_GT(count, 5);
}
