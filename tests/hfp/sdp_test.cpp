// Channel lookup through libbluetooth's real SDP client, answered by the
// simulated phone's SDP server.
#include "shim_fixture.h"

namespace {

struct SdpCase {
    const char* name;
    bool server;                          // SDP server running
    std::vector<sim::SdpRecord> records;
    int channel;                          // expected hfp_channel
    bool failed_message;                  // "SDP connection failed" logged
};

void PrintTo(const SdpCase& c, std::ostream* os) { *os << c.name; }

class ChannelLookup : public ShimTest, public testing::WithParamInterface<SdpCase> {};

TEST_P(ChannelLookup, FindsTheFirstRecordWithAnRfcommChannel)
{
    const SdpCase& c = GetParam();
    if (c.server)
        phone->start_sdp(c.records);
    std::string out = logged([] { hfp_lookup_channel(); });

    EXPECT_EQ(hfp_channel.load(), c.channel) << out;
    EXPECT_EQ(hfp_effective_channel(), c.channel ? c.channel : 3);
    EXPECT_EQ(out.find("ℹ️ SDP connection failed, using default channel") != std::string::npos, c.failed_message)
        << out;
    if (c.channel) {
        EXPECT_NE(out.find("✓ HFP-AG channel found: " + std::to_string(c.channel)), std::string::npos) << out;
    } else {
        EXPECT_EQ(out.find("channel found"), std::string::npos) << out;
    }
    if (c.server) {
        EXPECT_GE(phone->hfp_sdp_search_count(), 1);
    }
}

const sim::SdpRecord kNoRfcomm{0x111F, -1, false};

INSTANTIATE_TEST_SUITE_P(
    Phones, ChannelLookup,
    testing::Values(
        SdpCase{"one_record", true, {{0x111F, 5, false}}, 5, false},
        SdpCase{"several_records_first_nonzero_wins", true,
                {kNoRfcomm, {0x111F, 0, false}, {0x111F, 7, false}, {0x111F, 9, false}}, 7, false},
        SdpCase{"protocols_as_128_bit_uuids", true, {{0x111F, 12, true}}, 12, false},
        SdpCase{"records_without_rfcomm_give_default", true, {kNoRfcomm, kNoRfcomm}, 0, false},
        SdpCase{"no_records_give_default", true, {}, 0, false},
        SdpCase{"headset_gateway_record_is_not_matched", true, {{0x1112, 2, false}}, 0, false},
        SdpCase{"headset_record_before_handsfree_record", true, {{0x1112, 2, false}, {0x111F, 4, false}}, 4, false},
        SdpCase{"no_sdp_server", false, {}, 0, true}),
    [](const testing::TestParamInfo<SdpCase>& info) { return std::string(info.param.name); });

TEST_F(ShimTest, LookupOfAPhoneOutOfRangeUsesTheDefaultChannel)
{
    phone->serve_hfp(6);
    phone->set_in_range(false);
    std::string out = logged([] { hfp_lookup_channel(); });
    EXPECT_NE(out.find("ℹ️ SDP connection failed, using default channel"), std::string::npos) << out;
    EXPECT_EQ(hfp_effective_channel(), 3);
}

}  // namespace

namespace {

TEST_F(ShimTest, BusySdpConnectIsRetried)
{
    phone->start_sdp({{0x111F, 8, false}});
    th::write_file(dir.file("fault-connect-l2cap"), "EBUSY 2");
    std::string out = logged([] { hfp_lookup_channel(); });
    EXPECT_NE(out.find("✓ HFP-AG channel found: 8"), std::string::npos) << out;
    EXPECT_FALSE(th::file_exists(dir.file("fault-connect-l2cap"))) << "both refusals were used";
}

TEST_F(ShimTest, RefusedSdpConnectUsesTheDefaultChannel)
{
    phone->start_sdp({{0x111F, 8, false}});
    th::write_file(dir.file("fault-connect-l2cap"), "ETIMEDOUT");
    std::string out = logged([] { hfp_lookup_channel(); });
    EXPECT_NE(out.find("ℹ️ SDP connection failed, using default channel"), std::string::npos) << out;
    EXPECT_EQ(hfp_channel.load(), 0);
    EXPECT_EQ(phone->hfp_sdp_search_count(), 0);
}

TEST_F(ShimTest, KnownChannelIsKeptWhenALaterLookupFindsNothing)
{
    hfp_channel = 6;
    phone->start_sdp({});
    std::string out = logged([] { hfp_lookup_channel(); });
    EXPECT_EQ(hfp_channel.load(), 6) << out;
    EXPECT_EQ(out, "");
}

}  // namespace
