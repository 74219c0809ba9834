// Closing the window while work is under way: every link and thread ends
// before the program's state does (a sanitizer build reports any use after
// that, and the run fails on it), and the program exits at once.
#include "audio_pulse.h"
#include "calls_x11.h"
#include "harness.h"
#include "phonedata_obexd.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(Closing, DuringADownloadOrACallEndsEveryLinkAndThreadAndExitsAtOnce)
{
    for (bool during_call : {false, true}) {
        SCOPED_TRACE(during_call ? "during a call" : "during a download");
        std::unique_ptr<th::PulseServer> pulse;
        std::unique_ptr<th::AudioCallWorld> call;
        std::unique_ptr<th::TestWorld> world;
        std::unique_ptr<th::FakeObexd> obexd;
        std::unique_ptr<th::Telvane> own;
        th::Telvane* app = nullptr;
        std::string display;
        if (during_call) {
            pulse = std::make_unique<th::PulseServer>();
            call = std::make_unique<th::AudioCallWorld>(pulse->server());
            ASSERT_GE(call->start_call(), 0) << call->out();
            ASSERT_TRUE(call->app->wait_for_output("✓ Call active")) << call->out();
            app = call->app.get();
            display = call->world.x.display();
        } else {
            world = std::make_unique<th::TestWorld>();
            obexd = std::make_unique<th::FakeObexd>(world->session_bus, world->dir.path());
            const std::string big = world->dir.file("big.vcf");
            th::write_file(big, th::generated_vcards(300));
            obexd->configure("{\"files\": {\"pb\": \"" + big + "\"}, \"slow\": {\"pb\": [60000, 120]}}");
            world->bluez->add_device("11:22:33:44:55:66", "Test Phone");
            world->bluez->pair_device("11:22:33:44:55:66");
            world->bluez->connect_device("11:22:33:44:55:66");
            own = std::make_unique<th::Telvane>(*world);
            app = own.get();
            ASSERT_TRUE(th::wait_until([&] { return obexd->count("PullAll") >= 1; }, 30000)) << app->output();
            display = world->x.display();
        }
        ASSERT_TRUE(th::close_all_windows(display));
        if (during_call) {
            // The question a call in progress asks: end it and close. Named
            // before it is mapped, it takes the focus only once visible.
            auto answered = th::run_x_command(display,
                                              {"xdotool", "search", "--sync", "--onlyvisible", "--name",
                                               "^Close Telvane$", "windowfocus", "--sync", "key", "alt+e"},
                                              10000);
            ASSERT_TRUE(answered.has_value()) << app->output();
        }
        EXPECT_EQ(app->wait_exit(10000), 0) << app->output();
        EXPECT_EQ(app->find("✓ Phonebook loaded"), std::string::npos) << app->output();
    }
}

}  // namespace
