// The real binary against a private system bus with the mock BlueZ.
#include "harness.h"
#include "simphone.h"

#include <gtest/gtest.h>

#include <memory>

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

// tel: links against the simulated phone: what reaches it is what was dialled.
struct LinkWorld {
    explicit LinkWorld(bool connected) : phone(shim.path(), kSimPhone)
    {
        phone.serve_hfp(5);
        world.bluez->add_device(kSimPhone, "Sim Phone");
        world.bluez->pair_device(kSimPhone);
        if (connected)
            world.bluez->connect_device(kSimPhone);
    }
    std::unique_ptr<th::Telvane> launch(const std::vector<std::string>& args, const std::string& out = "telvane.out")
    {
        return std::make_unique<th::Telvane>(world, args, sim::shim_env(shim.path()), out);
    }
    int dials() const
    {
        int n = 0;
        for (const auto& text : phone.command_texts())
            n += text.rfind("ATD", 0) == 0;
        return n;
    }
    static constexpr const char* kSimPhone = "00:11:22:33:44:55";
    th::TestWorld world;
    th::TempDir shim;
    sim::SimPhone phone;
};

TEST(Startup, LinkDialsOnlyItsNumberAndARefusedLinkNothing)
{
    LinkWorld w(true);
    auto app = w.launch({});
    ASSERT_TRUE(app->wait_for_output("✓ Incoming call listener ready", 20000)) << app->output();

    for (const char* refused : {"tel:0800-FLOWERS", "tel:+49+301234", "tel:;ext=12", "tel:12%0d%0aATH"}) {
        SCOPED_TRACE(refused);
        size_t before = app->count("⚠️ Link refused, nothing dialled");
        EXPECT_EQ(w.launch({refused}, "second.out")->wait_exit(15000), 0);
        EXPECT_TRUE(th::wait_until([&] { return app->count("⚠️ Link refused, nothing dialled") == int(before) + 1; }))
            << app->output();
    }
    EXPECT_EQ(w.dials(), 0);

    EXPECT_EQ(w.launch({"tel:+1-201-555-0123;ext=99;phone-context=+49"}, "second.out")->wait_exit(15000), 0);
    ASSERT_TRUE(w.phone.wait_for_command("ATD", 10000)) << app->output();
    EXPECT_EQ(w.phone.command_texts().back(), "ATD+12015550123;");
    EXPECT_NE(app->find("ℹ️ Link number +12015550123; not dialled: extension 99"), std::string::npos)
        << app->output();
    th::wait_until([] { return false; }, 1000);
    EXPECT_EQ(w.dials(), 1);
}

// Waits for the product's one-minute limit, not shortened: slow on purpose.
TEST(Startup, WaitingLinkNumberExpiresAndIsNeverDialledLater)
{
    LinkWorld w(false);
    auto app = w.launch({"tel:0301234567"});
    ASSERT_TRUE(app->wait_for_output("📞 Number waiting for the phone: 0301234567")) << app->output();
    ASSERT_TRUE(app->wait_for_output(
        "⚠️ Waiting number 0301234567 expired: the phone did not connect within 60 s, nothing dialled", 90000))
        << app->output();

    w.world.bluez->connect_device(LinkWorld::kSimPhone);
    ASSERT_TRUE(app->wait_for_output("✓ Incoming call listener ready", 20000)) << app->output();
    th::wait_until([] { return false; }, 1500);
    EXPECT_EQ(w.dials(), 0);
    EXPECT_EQ(app->find("Auto-dialing"), std::string::npos) << app->output();
}

}  // namespace
