// The real binary under the Bluetooth socket shim, with the simulated phone.
#include "harness.h"
#include "simphone.h"

#include <gtest/gtest.h>

namespace {

TEST(HfpChannel, ConnectedPhoneAtStartupIsLookedUpBySdpOnceAcrossAReconnect)
{
    th::TempDir shim;
    sim::SimPhone phone(shim.path(), "00:1A:7D:DA:71:0F");
    th::TestWorld world;
    world.bluez->add_device(phone.address(), "Sim Phone");
    world.bluez->pair_device(phone.address());
    world.bluez->connect_device(phone.address());
    phone.start_sdp({{0x111F, -1, false}, {0x111F, 9, false}});
    phone.listen_rfcomm(9);
    th::Telvane app(world, {}, sim::shim_env(shim.path()));
    ASSERT_TRUE(app.wait_for_output("✓ HFP-AG channel found: 9")) << app.output();
    EXPECT_LT(app.find("State: IDLE -> CONNECTED"), app.find("✓ HFP-AG channel found: 9"));
    EXPECT_EQ(app.count("SDP connection failed"), 0);
    int lookups = phone.hfp_sdp_search_count();
    EXPECT_GE(lookups, 1);

    world.bluez->disconnect_device(phone.address());
    ASSERT_TRUE(app.wait_for_output("State: CONNECTED -> PAIRED")) << app.output();
    world.bluez->connect_device(phone.address());
    ASSERT_TRUE(app.wait_for_output("State: PAIRED -> CONNECTED")) << app.output();
    EXPECT_EQ(app.count("✓ HFP-AG channel found"), 1) << app.output();
    EXPECT_EQ(phone.hfp_sdp_search_count(), lookups) << "no second lookup for the same phone\n" << app.output();
}

}  // namespace
