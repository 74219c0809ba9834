// The whole road of a contact through the real binary, driven from the
// keyboard as a person would: downloaded from the phone, found by typing
// in the search entry, dialled from the list.
#include "calls_x11.h"
#include "harness.h"
#include "phonedata_obexd.h"
#include "simphone.h"

#include <gtest/gtest.h>

namespace {

const std::string kAddr = "00:11:22:33:44:55";
constexpr uint32_t kGreen = 0x238636;   // the active Call button

TEST(ContactsDial, DownloadedContactIsFoundByTypingAndDialledFromTheList)
{
    th::TestWorld world;
    th::TempDir shim;
    sim::SimPhone phone(shim.path(), kAddr);
    phone.serve_hfp(5);
    world.bluez->add_device(kAddr, "Sim Phone");
    world.bluez->pair_device(kAddr);
    world.bluez->connect_device(kAddr);
    th::FakeObexd obexd(world.session_bus, world.dir.path());
    obexd.configure("{\"files\": {\"pb\": \"" + th::phonedata_fixture("android_pb.vcf") + "\"}}");

    th::Telvane app(world, {}, sim::shim_env(shim.path()));
    ASSERT_TRUE(app.wait_for_output("✓ Phonebook loaded: 4 contacts", 20000)) << app.output();
    ASSERT_TRUE(app.wait_for_output("✓ Incoming call listener ready", 20000)) << app.output();
    const std::string& display = world.x.display();

    // Focus into the notebook: the Call button with an empty entry only logs.
    th::move_pointer_away(display);
    std::optional<th::Point> call;
    th::wait_until([&] { return (call = th::newly_coloured(th::Image{}, th::screenshot(display), kGreen)).has_value(); });
    ASSERT_TRUE(call) << app.output();
    th::click_at(display, *call);
    ASSERT_TRUE(app.wait_for_output("⚠️ No number entered")) << app.output();

    // Dialpad → Recent Calls → Contacts, then to the search entry.
    for (const char* key : {"ctrl+Page_Down", "ctrl+Page_Down", "Tab", "Tab", "Escape", "shift+Tab"})
        th::press_key(display, key);
    th::type_text(display, "JO");
    // The debounced search runs; the first match (phonebook order) is John Smith.
    th::wait_until([] { return false; }, 1500);
    th::press_key(display, "Tab");
    th::press_key(display, "Return");

    EXPECT_TRUE(phone.wait_for_command("ATD+49 170 1234567;", 10000)) << app.output();
    EXPECT_TRUE(app.wait_for_output("📞 Calling: +49 170 1234567")) << app.output();
    EXPECT_EQ(app.count("📞 Calling:"), 1) << app.output();
}

}  // namespace
