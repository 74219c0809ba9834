// Channel lookup through libbluetooth's real SDP client, answered by the
// simulated phone's SDP server.
#include "shim_fixture.h"

namespace {

TEST_F(ShimTest, ChannelLookupFindsTheFirstRecordWithAnRfcommChannel)
{
    const sim::SdpRecord no_rfcomm{0x111F, -1, false};
    struct Row {
        const char* name;
        bool server;
        std::vector<sim::SdpRecord> records;
        int channel;              // expected hfp_channel
        bool searched;            // the phone answered a search
        int known = 0;            // hfp_channel before
        const char* fault = "";   // fault-connect-l2cap
        bool in_range = true;
    };
    const Row rows[] = {
        {"several records: the first with a non-zero channel wins", true,
         {no_rfcomm, {0x111F, 0, false}, {0x111F, 7, false}, {0x111F, 9, false}}, 7, true},
        {"protocols as 128-bit UUIDs", true, {{0x111F, 12, true}}, 12, true},
        {"records without RFCOMM: the default", true, {no_rfcomm, no_rfcomm}, 0, true},
        {"a headset gateway record is not matched", true, {{0x1112, 2, false}}, 0, true},
        {"no SDP server: the default", false, {}, 0, false},
        {"phone out of range: the default", true, {{0x111F, 6, false}}, 0, false, 0, "", false},
        {"busy SDP connect is retried", true, {{0x111F, 8, false}}, 8, true, 0, "EBUSY 2"},
        {"refused SDP connect: the default", true, {{0x111F, 8, false}}, 0, false, 0, "ETIMEDOUT"},
        {"a known channel is kept when a later lookup finds nothing", true, {}, 6, true, 6},
    };
    int n = 60;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::SimPhone p(dir.path(), "00:11:22:33:44:" + std::to_string(n++));
        copy_text(device_addr, p.address());
        hfp_channel = row.known;
        if (row.server)
            p.start_sdp(row.records);
        p.set_in_range(row.in_range);
        if (*row.fault)
            th::write_file(dir.file("fault-connect-l2cap"), row.fault);
        hfp_lookup_channel();
        EXPECT_EQ(hfp_channel.load(), row.channel);
        EXPECT_EQ(p.hfp_sdp_search_count() > 0, row.searched);
        EXPECT_FALSE(th::file_exists(dir.file("fault-connect-l2cap"))) << "every refusal was used";
    }
}

}  // namespace
