// Codec negotiation from AT traces: what the phone says in, what we send
// back out, and the codec the next voice link uses.
#include "core/codec_negotiation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One step: a line from the phone (or, starting with "!", an action of
// ours: "!fallback", "!cvsd-only", "!all", "!bcc"), the bytes we send, and
// the codec of the next link afterwards.
struct Step {
    std::string in;
    std::string out;
    VoiceCodec codec;
};

TEST(CodecNegotiation, Traces)
{
    using enum VoiceCodec;
    const int both = AG_CODEC_NEGOTIATION | 1;
    struct Row {
        const char* name;
        int phone_features;
        std::string bac;   // sent in the handshake
        std::vector<Step> steps;
    };
    const Row rows[] = {
        {"the phone picks mSBC", both, "AT+BAC=1,2,3\r", {{"+BCS: 2", "AT+BCS=2\r", MSBC}}},
        {"LC3-SWB, written without the blank", both, "AT+BAC=1,2,3\r", {{"+BCS:3", "AT+BCS=3\r", LC3_SWB}}},
        {"a codec we never offered: our list again, the codec unchanged", both, "AT+BAC=1,2,3\r",
         {{"+BCS: 2", "AT+BCS=2\r", MSBC}, {"+BCS: 4", "AT+BAC=1,2,3\r", MSBC}, {"+BCS: x", "AT+BAC=1,2,3\r", MSBC}}},
        {"a phone without negotiation: nothing sent, always CVSD", 1, "",
         {{"!bcc", "", CVSD}, {"!fallback", "", CVSD}}},
        {"no +BRSF from the phone", -1, "", {{"!bcc", "", CVSD}}},
        {"transparent refused: CVSD only, said once, and chosen again", both, "AT+BAC=1,2,3\r",
         {{"+BCS: 3", "AT+BCS=3\r", LC3_SWB}, {"!fallback", "AT+BAC=1\r", CVSD}, {"!cvsd-only", "", CVSD},
          {"+BCS: 3", "AT+BAC=1\r", CVSD}, {"+BCS: 1", "AT+BCS=1\r", CVSD}}},
        {"codecs back: the list again", both, "AT+BAC=1,2,3\r",
         {{"!cvsd-only", "AT+BAC=1\r", CVSD}, {"!all", "AT+BAC=1,2,3\r", CVSD}, {"!bcc", "AT+BCC\r", CVSD}}},
        {"other lines are not ours", both, "AT+BAC=1,2,3\r",
         {{"+CIEV: 2,1", "", CVSD}, {"+BCSX", "", CVSD}, {"RING", "", CVSD}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CodecNegotiation n;
        n.set_phone_features(row.phone_features);
        EXPECT_EQ(n.bac_command(), row.bac);
        for (const Step& step : row.steps) {
            SCOPED_TRACE(step.in);
            std::string out = step.in == "!fallback"    ? n.fall_back()
                              : step.in == "!cvsd-only" ? n.set_available(CodecNegotiation::kCvsdOnly)
                              : step.in == "!all"       ? n.set_available(CodecNegotiation::kAll)
                              : step.in == "!bcc"       ? n.bcc_command()
                                                        : n.on_line(step.in);
            EXPECT_EQ(out, step.out);
            EXPECT_EQ(n.codec(), step.codec);
        }
    }
}

}  // namespace
