// The real binary against a private system bus with the mock BlueZ.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

const char* kReady = "ℹ️ Press 'Start' button, let phone connect";

TEST(Startup, ConnectedPhoneIsRecordedWhateverTheObjectOrder)
{
    for (bool connected_first : {true, false}) {
        SCOPED_TRACE(connected_first ? "connected device added first" : "connected device added last");
        th::TestWorld world;
        const std::string paired = "11:22:33:44:55:01", connected = "11:22:33:44:55:02";
        if (connected_first) {
            world.bluez->add_device(connected, "Connected Phone");
            world.bluez->add_device(paired, "Paired Phone");
        } else {
            world.bluez->add_device(paired, "Paired Phone");
            world.bluez->add_device(connected, "Connected Phone");
        }
        world.bluez->pair_device(paired);
        world.bluez->pair_device(connected);
        world.bluez->connect_device(connected);

        th::Telvane app(world);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        std::string out = app.output();
        EXPECT_NE(out.find("ℹ️ Connected device found at startup"), std::string::npos) << out;
        EXPECT_NE(out.find("State: IDLE -> CONNECTED"), std::string::npos) << out;
        EXPECT_EQ(out.find("Paired device found at startup"), std::string::npos) << out;
        EXPECT_LT(out.find("✓ D-Bus connection established"), out.find("✓ D-Bus signal listener set up"));
        EXPECT_LT(out.find("Connected device found"), out.find("📱 Telvane - Ready"));
    }
}

TEST(Startup, OnlyPairedPhonesRecordsTheFirstPaired)
{
    th::TestWorld world;
    world.bluez->add_device("11:22:33:44:55:0A", "First");
    world.bluez->add_device("11:22:33:44:55:0B", "Second");
    world.bluez->pair_device("11:22:33:44:55:0A");
    world.bluez->pair_device("11:22:33:44:55:0B");

    th::Telvane app(world);
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    std::string out = app.output();
    EXPECT_NE(out.find("ℹ️ Paired device found at startup"), std::string::npos) << out;
    EXPECT_NE(out.find("State: IDLE -> PAIRED"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connected device found"), std::string::npos) << out;
}

TEST(Startup, NoPhoneStaysIdle)
{
    th::TestWorld world;
    world.bluez->add_device("11:22:33:44:55:0C", "Unpaired");
    th::Telvane app(world);
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    std::string out = app.output();
    EXPECT_EQ(out.find("State:"), std::string::npos) << out;
    EXPECT_EQ(out.find("device found at startup"), std::string::npos) << out;
}

TEST(Startup, NoSystemBusShowsErrorAndStillLogsReadyLines)
{
    th::TestWorld world(th::TestWorld::Options{false, false, false});
    th::Telvane app(world);
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    std::string out = app.output();
    EXPECT_NE(out.find("State: IDLE -> ERROR"), std::string::npos) << out;
    EXPECT_EQ(out.find("✓ D-Bus connection established"), std::string::npos) << out;
    EXPECT_LT(out.find("📱 Telvane - Ready"), out.find(kReady));
    EXPECT_TRUE(app.process().running());
}

TEST(Startup, SecondLaunchHandsItsArgumentToTheRunningInstance)
{
    th::TestWorld world;
    th::Telvane first(world);
    ASSERT_TRUE(first.wait_for_output(kReady)) << first.output();

    th::Telvane second(world, {"tel:+49 (30) 1234-567"}, {}, "second.out");
    EXPECT_EQ(second.wait_exit(15000), 0) << second.output();
    // The running instance received the number; the second process built no window.
    EXPECT_EQ(second.output().find("Telvane - Ready"), std::string::npos) << second.output();
    EXPECT_TRUE(first.wait_for_output("📞 Number waiting for the phone: +49301234567")) << first.output();
    EXPECT_TRUE(first.process().running());
    EXPECT_EQ(first.count("📱 Telvane - Ready"), 1);
}

TEST(Startup, NumberGivenWithTheFirstLaunchWaitsForThePhone)
{
    th::TestWorld world;
    th::Telvane app(world, {"tel:0301234"});
    ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
    EXPECT_TRUE(app.wait_for_output("📞 Number waiting for the phone: 0301234")) << app.output();
    EXPECT_EQ(app.count("Number waiting"), 1);
}

}  // namespace
