// The real binary under the Bluetooth socket shim, with the simulated phone.
#include "harness.h"
#include "simphone.h"

#include <gtest/gtest.h>

namespace {

const char* kReady = "ℹ️ Press 'Start' button, let phone connect";

// A simulated phone that the mock BlueZ reports paired and connected.
struct ConnectedPhone {
    explicit ConnectedPhone(const std::string& address) : phone(shim.path(), address)
    {
        world.bluez->add_device(address, "Sim Phone");
        world.bluez->pair_device(address);
        world.bluez->connect_device(address);
    }
    th::Telvane launch() { return th::Telvane(world, {}, sim::shim_env(shim.path())); }

    th::TempDir shim;
    sim::SimPhone phone;
    th::TestWorld world;
};

TEST(HfpChannel, ConnectedPhoneAtStartupIsLookedUpBySdpOnceAcrossAReconnect)
{
    ConnectedPhone w("00:1A:7D:DA:71:0F");
    sim::SimPhone& phone = w.phone;
    phone.start_sdp({{0x111F, -1, false}, {0x111F, 9, false}});
    phone.listen_rfcomm(9);
    th::Telvane app = w.launch();
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    ASSERT_TRUE(app.wait_for_output("✓ HFP-AG channel found: 9")) << app.output();
    EXPECT_LT(app.find("State: IDLE -> CONNECTED"), app.find("✓ HFP-AG channel found: 9"));
    EXPECT_EQ(app.count("SDP connection failed"), 0);
    int lookups = phone.hfp_sdp_search_count();
    EXPECT_GE(lookups, 1);

    w.world.bluez->disconnect_device(phone.address());
    ASSERT_TRUE(app.wait_for_output("State: CONNECTED -> PAIRED")) << app.output();
    w.world.bluez->connect_device(phone.address());
    ASSERT_TRUE(app.wait_for_output("State: PAIRED -> CONNECTED")) << app.output();
    EXPECT_EQ(app.count("✓ HFP-AG channel found"), 1) << app.output();
    EXPECT_EQ(phone.hfp_sdp_search_count(), lookups) << "no second lookup for the same phone\n" << app.output();
}

TEST(HfpChannel, PhoneWithoutSdpServerFallsBackToTheDefaultChannel)
{
    ConnectedPhone w("00:1A:7D:DA:71:10");
    sim::SimPhone& phone = w.phone;
    phone.listen_rfcomm(3);
    th::Telvane app = w.launch();
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    EXPECT_TRUE(app.wait_for_output("ℹ️ SDP connection failed, using default channel")) << app.output();
    EXPECT_EQ(app.count("channel found"), 0);
    // The lookup blocks the main thread; the window still came up afterwards.
    EXPECT_TRUE(app.process().running());
}

}  // namespace
