// The real binary against a private system bus with the mock BlueZ.
#include "harness.h"
#include "simphone.h"

#include <gtest/gtest.h>


namespace {

const char* kReady = "ℹ️ Press 'Start' button, let phone connect";

// What BlueZ knows at start decides the phone: a connected one whatever the
// objects' order, else the first paired one, else none.
TEST(Startup, ConnectedThenPairedPhoneIsRecordedWhateverTheObjectOrder)
{
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, bool>> devices;   // address, connected; all but ...0C paired
        const char* found;                                  // nullptr: no phone, no state change
        const char* state;
    };
    const Row rows[] = {
        {"connected device added first", {{"11:22:33:44:55:02", true}, {"11:22:33:44:55:01", false}},
         "ℹ️ Connected device found at startup", "State: IDLE -> CONNECTED"},
        {"connected device added last", {{"11:22:33:44:55:01", false}, {"11:22:33:44:55:02", true}},
         "ℹ️ Connected device found at startup", "State: IDLE -> CONNECTED"},
        {"only paired devices", {{"11:22:33:44:55:0A", false}, {"11:22:33:44:55:0B", false}},
         "ℹ️ Paired device found at startup", "State: IDLE -> PAIRED"},
        {"no paired device", {{"11:22:33:44:55:0C", false}}, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        th::TestWorld world;
        for (const auto& [address, connected] : row.devices)
            world.bluez->add_device(address, "Phone " + address);
        for (const auto& [address, connected] : row.devices) {
            if (row.found)
                world.bluez->pair_device(address);
            if (connected)
                world.bluez->connect_device(address);
        }
        th::Telvane app(world);
        ASSERT_TRUE(app.wait_for_output(kReady)) << app.output();
        std::string out = app.output();
        EXPECT_EQ(app.count("device found at startup"), row.found ? 1 : 0) << out;
        EXPECT_EQ(out.find("State:"), row.state ? out.find(row.state) : std::string::npos) << out;
        if (row.found) {
            EXPECT_NE(out.find(row.found), std::string::npos) << out;
            EXPECT_NE(out.find(row.state), std::string::npos) << out;
            EXPECT_LT(out.find("✓ D-Bus connection established"), out.find("✓ D-Bus signal listener set up"));
            EXPECT_LT(out.find(row.found), out.find("📱 Telvane - Ready"));
        }
    }
}

// A tel: link while the phone is away: waits for the product's one-minute
// limit, not shortened (slow on purpose), and then never reaches the phone.
TEST(Startup, WaitingLinkNumberExpiresAndIsNeverDialledLater)
{
    const std::string address = "00:11:22:33:44:55";
    th::TestWorld world;
    th::TempDir shim;
    sim::SimPhone phone(shim.path(), address);
    phone.serve_hfp(5);
    world.bluez->add_device(address, "Sim Phone");
    world.bluez->pair_device(address);
    th::Telvane app(world, {"tel:0301234567"}, sim::shim_env(shim.path()));
    ASSERT_TRUE(app.wait_for_output("📞 Number waiting for the phone: 0301234567")) << app.output();
    EXPECT_EQ(app.count("Number waiting"), 1);
    ASSERT_TRUE(app.wait_for_output(
        "⚠️ Waiting number 0301234567 expired: the phone did not connect within 60 s, nothing dialled", 90000))
        << app.output();

    world.bluez->connect_device(address);
    ASSERT_TRUE(app.wait_for_output("✓ Incoming call listener ready", 20000)) << app.output();
    th::wait_until([] { return false; }, 1500);
    for (const auto& text : phone.command_texts())
        EXPECT_NE(text.rfind("ATD", 0), 0u) << text;
    EXPECT_EQ(app.find("Auto-dialing"), std::string::npos) << app.output();
}

}  // namespace
