// Calls through the real binary, under the Bluetooth socket shim, against the
// simulated phone; buttons are pressed with the mouse on the Xvfb screen.
#include "calls_x11.h"
#include "harness.h"
#include "phonedata_obexd.h"
#include "simphone.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <utility>

namespace {

const std::string kAddr = "00:11:22:33:44:55";
constexpr uint32_t kGreen = 0x238636, kRed = 0xda3633;   // active Answer or Call; active Reject or Hang up
const char* kListenerReady = "✓ Incoming call listener ready";

bool coloured_near(const th::Image& img, th::Point p, uint32_t colour)
{
    int n = 0;
    for (int y = std::max(0, p.y - 12); y <= std::min(img.height - 1, p.y + 12); ++y)
        for (int x = std::max(0, p.x - 12); x <= std::min(img.width - 1, p.x + 12); ++x)
            n += img.pixel(x, y) == colour;
    return n >= 30;
}

// A connected phone in a world of its own, and the application once launched.
struct CallWorld {
    explicit CallWorld(const std::vector<std::string>& order = sim::kOrderServiceFirst, bool serve_rfcomm = true)
        : phone(shim.path(), kAddr)
    {
        phone.set_indicator_order(order);
        serve_rfcomm ? phone.serve_hfp(5) : phone.start_sdp({sim::SdpRecord{0x111F, 5, false}});
        phone_connected_in_bluez();
    }
    // A real gateway drops or refuses a command sent before its last answer.
    ~CallWorld() { EXPECT_EQ(phone.protocol_errors(), std::vector<std::string>{}) << (app ? out() : ""); }
    void phone_connected_in_bluez()
    {
        world.bluez->add_device(kAddr, "Sim Phone");
        world.bluez->pair_device(kAddr);
        world.bluez->connect_device(kAddr);
    }
    void launch(const std::vector<std::string>& args = {}) { app = std::make_unique<th::Telvane>(world, args, sim::shim_env(shim.path())); }
    // A later launch that hands its argument to the running instance.
    void hand_over(const std::string& arg)
    {
        EXPECT_EQ(th::Telvane(world, {arg}, sim::shim_env(shim.path()), "second.out").wait_exit(15000), 0);
    }
    std::string out() const { return app->output(); }
    std::string err() const { return th::read_file(world.dir.file("telvane.out.err")); }
    const std::string& display() const { return world.x.display(); }
    // The screen once it has settled (buttons fade between colours).
    th::Image shot()
    {
        th::move_pointer_away(display());
        th::Image last = th::screenshot(display()), now;
        for (int i = 0; i < 10 && (now = th::screenshot(display())).rgb != last.rgb; ++i)
            last = std::move(now);
        return last;
    }
    // The window once it is on the screen with its dial pad's Call button,
    // before any call: what later screens are compared with.
    th::Image idle_screen()
    {
        th::Image now;
        th::wait_until([&] { return th::newly_coloured(th::Image{}, now = shot(), kGreen).has_value(); });
        return now;
    }
    // A newly active button of that colour, once the screen shows it; when
    // none does, a failure and a point off the screen.
    th::Point button(const th::Image& before, uint32_t colour)
    {
        std::optional<th::Point> found;
        th::wait_until([&] { return (found = th::newly_coloured(before, shot(), colour)).has_value(); }, 10000);
        EXPECT_TRUE(found) << "no new button of colour " << std::hex << colour << "\n" << out();
        return found.value_or(th::Point{-1, -1});
    }
    bool wait_button_off(th::Point p, uint32_t colour) { return th::wait_until([&] { return !coloured_near(shot(), p, colour); }, 10000); }
    std::vector<std::string> commands(const std::string& prefix) const
    {
        std::vector<std::string> all = phone.command_texts(), found;
        std::copy_if(all.begin(), all.end(), std::back_inserter(found), [&](auto& c) { return c.rfind(prefix, 0) == 0; });
        return found;
    }
    void goes_active()
    {
        phone.set_indicator("call", 1, true);
        phone.set_indicator("callsetup", 0, true);
        EXPECT_TRUE(app->wait_for_output("✓ Call active")) << out();
    }
    bool click_sends(th::Point at, const std::string& command, int conn = -1)
    {
        size_t from = phone.command_count();
        th::click_at(display(), at);
        return phone.wait_for_command(command, 5000, nullptr, conn, from);
    }
    bool urgent()   // the window raised for attention
    {
        std::string id = th::run_x_command(display(), {"xdotool", "search", "--onlyvisible", "--name", "^Telvane$"}).value_or("");
        auto hints = th::run_x_command(display(), {"xprop", "-id", id.substr(0, id.find('\n')), "WM_HINTS"});
        EXPECT_TRUE(hints.has_value());
        return hints && hints->find("urgency hint bit is set") != std::string::npos;
    }

    th::TestWorld world;
    th::TempDir shim;
    sim::SimPhone phone;
    std::unique_ptr<th::Telvane> app;
};

void expect_clean(const CallWorld& w)
{
    EXPECT_TRUE(w.app->process().running());
    EXPECT_EQ(w.err().find("markup"), std::string::npos) << w.err();
    EXPECT_EQ(w.err().find("CRITICAL"), std::string::npos) << w.err();
}

// However a ringing call ends, its notification and the window's call for
// attention go; only one nobody answered or rejected is a missed call.
TEST(IncomingCall, RingsIsAnsweredFromTheNotificationOrTheWindowRejectedOrMissed)
{
    CallWorld w;
    th::FakeNotifications notes(w.world.session_bus, w.world.dir.path());
    // Phones store numbers with spaces and dashes; the caller line has none.
    th::write_file(w.world.dir.file("contacts.csv"), "name,number\n\"Nobody\",\"112\"\n\"Bob Builder\",\"0151 1234-5678\"\n");
    w.phone.set_indicator("battchg", 5);
    w.phone.set_indicator("signal", 4);
    w.launch();
    ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
    int conn = w.phone.listener_connection();
    th::Image idle = w.idle_screen();
    // The phone rings, sends what `then` sends, and a new notification comes: its id.
    auto rings = [&](auto then) {
        unsigned before = notes.notified("Incoming call"), now = 0;
        w.phone.ring(conn);
        then();
        EXPECT_TRUE(th::wait_until([&] { return (now = notes.notified("Incoming call")) != before; })) << w.out();
        return now;
    };

    auto header = [](const th::Image& img) {
        return std::vector<uint8_t>(img.rgb.begin(), img.rgb.begin() + std::min<long>(img.rgb.size(), 180l * img.width));
    };
    for (const char* indicator : {"battchg", "signal"}) {
        SCOPED_TRACE(indicator);
        int was = w.phone.indicator(indicator);
        w.phone.set_indicator(indicator, 1, true);
        EXPECT_TRUE(th::wait_until([&] { return header(w.shot()) != header(idle); })) << w.out();
        w.phone.set_indicator(indicator, was, true);
        EXPECT_TRUE(th::wait_until([&] { return header(w.shot()) == header(idle); })) << w.out();
    }

    unsigned ringing = rings([&] {
        w.phone.clip(conn, "+4930123456", "Alice");
        w.phone.ciev(conn, "callsetup", 1);
    });
    EXPECT_TRUE(w.app->wait_for_output("📱 Caller: Alice (+4930123456)")) << w.out();
    EXPECT_TRUE(th::wait_until([&] { return notes.calls().back().find("Alice") != std::string::npos; }));
    th::Point answer = w.button(idle, kGreen);
    w.button(idle, kRed);
    EXPECT_TRUE(w.urgent());
    ASSERT_NE(notes.action_key(ringing, "Reject"), "");
    size_t from = w.phone.command_count();
    ASSERT_TRUE(notes.invoke(ringing, notes.action_key(ringing, "Answer")));
    EXPECT_TRUE(w.phone.wait_for_command("ATA", 5000, nullptr, conn, from)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("✅ Call answered")) << w.out();
    w.phone.remote_answer();
    EXPECT_TRUE(w.app->wait_for_output("✓ Call active")) << w.out();
    // Answered: the window no longer calls for attention nor stays above others.
    EXPECT_TRUE(th::wait_until([&] { return !w.urgent(); }, 5000));
    th::Point hangup = w.button(idle, kRed);
    EXPECT_FALSE(coloured_near(w.shot(), answer, kGreen));
    w.phone.remote_hangup();
    EXPECT_TRUE(w.app->wait_for_output("📱 Call ended")) << w.out();
    EXPECT_TRUE(w.wait_button_off(hangup, kRed));
    EXPECT_FALSE(w.urgent());

    // The caller gives up, the phone only saying NO CARRIER: withdrawn, and a
    // missed call, named from contacts.csv, that opens Recent Calls.
    unsigned second = rings([&] { w.phone.send_line(conn, "+CLIP: \"+4915112345678\",145"); });
    answer = w.button(idle, kGreen);
    w.phone.no_carrier(conn);
    unsigned missed = 0;
    EXPECT_TRUE(th::wait_until([&] { return (missed = notes.notified("Missed call from Bob Builder")) != 0; })) << w.out();
    EXPECT_TRUE(notes.closed(second));
    EXPECT_TRUE(w.wait_button_off(answer, kGreen));
    constexpr uint32_t kSyncBlue = 0x1f6feb;   // the Sync button, on the Recent Calls page only
    ASSERT_FALSE(th::newly_coloured(th::Image{}, w.shot(), kSyncBlue));
    ASSERT_TRUE(notes.invoke(missed, notes.action_key(missed, "default")));
    EXPECT_TRUE(th::wait_until([&] { return th::newly_coloured(th::Image{}, w.shot(), kSyncBlue).has_value(); }));

    for (bool answering : {true, false}) {
        SCOPED_TRACE(answering ? "answer" : "reject");
        unsigned third = rings([&] { w.phone.ciev(conn, "callsetup", 1); });
        th::Point pressed = w.button(idle, answering ? kGreen : kRed);
        EXPECT_TRUE(w.click_sends(pressed, answering ? "ATA" : "AT+CHUP", conn)) << w.out();
        EXPECT_TRUE(th::wait_until([&] { return notes.closed(third); })) << w.out();
        w.phone.remote_hangup();
        EXPECT_TRUE(w.wait_button_off(pressed, answering ? kGreen : kRed));
    }
    th::wait_until([] { return false; }, 1000);
    EXPECT_EQ(notes.notified("Missed call"), missed);
    EXPECT_EQ(w.commands("ATA").size(), 2u);
    EXPECT_EQ(w.out().find("Invalid state"), std::string::npos) << w.out();
    expect_clean(w);
}

// Over the hands-free link a call declined on the phone and one the caller
// gave up end alike; the phone's own missed calls, asked once it has written
// the call down, tell them apart.
TEST(IncomingCall, DeclinedOnThePhoneIsNoMissedCallOneTheCallerGaveUpIs)
{
    CallWorld w;
    th::FakeNotifications notes(w.world.session_bus, w.world.dir.path());
    th::FakeObexd obexd(w.world.session_bus, w.world.dir.path());
    GDateTime* now = g_date_time_new_now_local();
    gchar* stamp = g_date_time_format(now, "%Y%m%dT%H%M%S");
    g_date_time_unref(now);
    // Only the caller who gave up is among the phone's missed calls.
    const std::string mch = w.world.dir.file("mch-now.vcf");
    th::write_file(mch, std::string("BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Gave Up\r\nTEL:+4930123456\r\n"
                                    "X-IRMC-CALL-DATETIME;TYPE=MISSED:") + stamp + "\r\nEND:VCARD\r\n");
    g_free(stamp);
    obexd.configure("{\"files\": {\"pb\": \"" + th::phonedata_fixture("android_pb.vcf") + "\", \"ich\": \"" +
                    th::phonedata_fixture("ich.vcf") + "\", \"och\": \"" + th::phonedata_fixture("och.vcf") +
                    "\", \"mch\": \"" + mch + "\"}}");
    w.launch();
    ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
    ASSERT_TRUE(w.app->wait_for_output("✓ Recent calls updated", 30000)) << w.out();
    int conn = w.phone.listener_connection();
    for (bool gave_up : {false, true}) {
        SCOPED_TRACE(gave_up ? "the caller gave up" : "declined on the phone");
        int synced = w.app->count("✓ Recent calls updated");
        unsigned rang = notes.notified("Incoming call");
        w.phone.ring(conn);
        w.phone.clip(conn, gave_up ? "+4930123456" : "+4915199999999", "");
        w.phone.ciev(conn, "callsetup", 1);
        ASSERT_TRUE(th::wait_until([&] { return notes.notified("Incoming call") != rang; })) << w.out();
        w.phone.ciev(conn, "callsetup", 0);
        ASSERT_TRUE(th::wait_until([&] { return w.app->count("✓ Recent calls updated") > synced; }, 30000)) << w.out();
        // The notification crosses the session bus after the sync; a
        // declined call's would have come by the next round's check.
        th::wait_until([&] { return notes.notified("Missed call from +4930123456") != 0; }, gave_up ? 5000 : 500);
        EXPECT_EQ(notes.notified("Missed call from +4930123456") != 0, gave_up) << w.out();
        EXPECT_EQ(notes.notified("Missed call from +4915199999999"), 0u) << w.out();
    }
}

// Whichever launch receives a tel: link, the running window dials it once,
// the first one after a handshake lost twice (retried at once, then after a second).
TEST(OutgoingCall, TelNumbersOfEveryLaunchAreDialledOnceAfterARetriedHandshakeHungUpOrRejectedOntoTheClipboard)
{
    CallWorld w;
    w.phone.set_drop_on("AT+CIND=?", 2);
    w.launch({"tel:+49301234567"});
    ASSERT_TRUE(w.phone.wait_for_command("ATD+49301234567;", 30000)) << w.out();
    EXPECT_EQ(w.app->count("🔁 Restarting listener"), 2) << w.out();
    EXPECT_EQ(w.app->count("ℹ️ Listener restart in 1 s"), 1) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("✓ Call started: +49301234567")) << w.out();
    // One call at a time: the phone ends this one before the next number comes.
    w.phone.remote_hangup();
    ASSERT_TRUE(w.app->wait_for_output("✓ Call setup completed (setup=0)")) << w.out();
    ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
    int conn = w.phone.listener_connection();
    th::Image idle = w.idle_screen();

    w.phone.set_auto_call_progress(true);
    w.hand_over("tel:030-123 4567");
    ASSERT_TRUE(w.phone.wait_for_command("ATD0301234567;", 10000, nullptr, conn)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("✓ Call started: 0301234567")) << w.out();
    th::Point hangup = w.button(idle, kRed);
    w.goes_active();
    EXPECT_TRUE(w.click_sends(hangup, "AT+CHUP", conn)) << w.out();
    EXPECT_TRUE(w.wait_button_off(hangup, kRed));
    // The listener read nothing of the dial's reply: no stray "call ended" and no rejection.
    EXPECT_EQ(w.out().find("⚠️ Phone rejected call"), std::string::npos) << w.out();

    // A link that would smuggle a command dials nothing; an extension is not dialled.
    w.hand_over("tel:12%0d%0aATH");
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Link refused, nothing dialled")) << w.out();
    w.hand_over("tel:+1-201-555-0123;ext=99;phone-context=+49");
    ASSERT_TRUE(w.phone.wait_for_command("ATD+12015550123;", 10000, nullptr, conn)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("ℹ️ Link number +12015550123; not dialled: extension 99")) << w.out();
    hangup = w.button(idle, kRed);
    w.phone.remote_hangup();
    EXPECT_TRUE(w.wait_button_off(hangup, kRed));

    w.phone.set_dial_reply(sim::DialReply::ERROR);
    w.hand_over("tel:+4915112345678");
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Phone rejected call")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("📋 +4915112345678 copied to clipboard")) << w.out();
    EXPECT_EQ(th::clipboard_text(w.display()).value_or(""), "+4915112345678");
    EXPECT_TRUE(th::wait_until([&] { return th::count_windows_named(w.display(), "^Call$") == 1; }));
    EXPECT_EQ(w.out().find("✓ Call started: +4915112345678"), std::string::npos);
    th::wait_until([] { return false; }, 1500);   // time for a duplicate to show up
    EXPECT_EQ(w.commands("ATD"),
              (std::vector<std::string>{"ATD+49301234567;", "ATD0301234567;", "ATD+12015550123;", "ATD+4915112345678;"}));
    expect_clean(w);
}

// The contact road as a person drives it from the keyboard alone: after a
// download the Contacts tab lists the contacts without any typing, and typing
// finds one; either way the first row is there to be dialled.
TEST(OutgoingCall, ADownloadedContactIsListedFoundByTypingAndDialledFromTheList)
{
    const struct {
        const char* name;
        const char* typed;   // into the search entry; nullptr: nothing
    } rows[] = {
        {"nothing typed: the whole download is listed", nullptr},
        {"typed: the search's first match is John Smith", "JO"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CallWorld w;
        th::FakeObexd obexd(w.world.session_bus, w.world.dir.path());
        obexd.configure("{\"files\": {\"pb\": \"" + th::phonedata_fixture("android_pb.vcf") + "\"}}");
        w.launch();
        ASSERT_TRUE(w.app->wait_for_output("✓ Phonebook loaded: 4 contacts", 20000)) << w.out();
        ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
        // Focus into the notebook: the Call button with an empty entry only logs.
        th::click_at(w.display(), w.button(th::Image{}, kGreen));
        ASSERT_TRUE(w.app->wait_for_output("⚠️ No number entered")) << w.out();
        // Dialpad → Recent Calls → Contacts, then to the search entry.
        for (const char* key : {"ctrl+Page_Down", "ctrl+Page_Down", "Tab", "Tab", "Escape", "shift+Tab"})
            th::press_key(w.display(), key);
        if (row.typed) {
            th::type_text(w.display(), row.typed);
            th::wait_until([] { return false; }, 1500);   // the search has run
        }
        th::press_key(w.display(), "Tab");
        th::press_key(w.display(), "Return");
        // Dialled as the phone's dial set allows, shown as stored.
        EXPECT_TRUE(w.phone.wait_for_command("ATD+491701234567;", 10000)) << w.out();
        EXPECT_TRUE(w.app->wait_for_output("📞 Calling: +49 170 1234567")) << w.out();
        EXPECT_EQ(w.app->count("📞 Calling:"), 1) << w.out();
    }
}

// A listener connect still pending when the phone goes must not hold up the
// window; a link number then waits for the phone for the product's one
// minute, not shortened (slow on purpose), and never reaches it later.
TEST(OutgoingCall, ALinkNumberForAPhoneLostWhileTheListenerConnectsExpiresAndIsNeverDialledLater)
{
    CallWorld w;
    w.phone.set_admit_delay_ms(60000);
    w.launch();
    ASSERT_TRUE(w.app->wait_for_output("📞 Incoming call listener started", 20000)) << w.out();
    w.idle_screen();
    w.phone.set_in_range(false);
    w.world.bluez->disconnect_device(kAddr);
    ASSERT_TRUE(w.app->wait_for_output("📴 Connection lost", 20000)) << w.out();
    // Handed over well within the phone's delay: the clean-up did not wait for the connect.
    w.hand_over("tel:0301234567");
    ASSERT_TRUE(w.app->wait_for_output("📞 Number waiting for the phone: 0301234567")) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("State: CONNECTED -> PAIRED", 20000)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Listener connection error", 20000)) << w.out();
    ASSERT_TRUE(w.app->wait_for_output("⚠️ Waiting number 0301234567 expired: the phone did not connect within 60 s, nothing dialled",
                                       90000)) << w.out();
    EXPECT_EQ(w.app->count("Number waiting"), 1);
    EXPECT_EQ(w.phone.connection_count(), 0) << "the aborted connect came through later";
    w.phone.set_admit_delay_ms(0);
    w.phone.set_in_range(true);
    w.world.bluez->connect_device(kAddr);
    ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
    th::wait_until([] { return false; }, 1500);
    EXPECT_EQ(w.commands("ATD").size(), 0u);
    EXPECT_EQ(w.app->find("Auto-dialing"), std::string::npos) << w.out();
    expect_clean(w);
}

// Types a number into the dial pad's entry and presses Call (or Enter), as a user would.
void dial_from_pad(CallWorld& w, const std::string& number, bool press_enter = false)
{
    th::Image screen = w.idle_screen();
    auto call = th::newly_coloured(th::Image{}, screen, kGreen);   // the widest green button
    ASSERT_TRUE(call);
    // The entry sits above the keys and is wider than them: up along its left part to its border.
    int x = call->x - 200, y = call->y - 40;
    for (; y > 0 && screen.pixel(x, y) != 0x30363d; --y) {}
    ASSERT_GT(y, 0);
    th::click_at(w.display(), {call->x, y - 20});
    th::press_key(w.display(), "ctrl+a");   // a refused number left there is typed over
    th::type_text(w.display(), number);
    press_enter ? th::press_key(w.display(), "Return") : th::click_at(w.display(), *call);
}

// The dialog is mapped a moment after its log line: waited for, then closed with Enter.
void dismiss_dialog(CallWorld& w)
{
    th::run_x_command(w.display(), {"xdotool", "search", "--sync", "--onlyvisible", "--name", "^Call$", "windowfocus",
                                    "--sync", "key", "Return"}, 10000);
    EXPECT_TRUE(th::wait_until([&] { return th::count_windows_named(w.display(), "^Call$") == 0; }));
}

// No link of a dial's own beside the standing one: a dial while the link is
// in back-off waits for it, goes out once on it as the phone's dial set
// allows, and the next incoming call rings and is answered on the same link.
TEST(OutgoingCall, ADialWhileTheLinkIsDownWaitsForItAndTheNextCallIsAnsweredOnItForBothIndicatorOrders)
{
    for (bool service_first : {true, false}) {
        SCOPED_TRACE(service_first ? "service first" : "call first");
        CallWorld w(service_first ? sim::kOrderServiceFirst : sim::kOrderCallFirst, false);
        w.phone.set_auto_call_progress(true);
        w.launch();
        ASSERT_TRUE(w.app->wait_for_output("⚠️ Listener connection error", 20000)) << w.out();
        th::Image idle = w.idle_screen();

        dial_from_pad(w, "+1 (408) 555-0142", !service_first);
        EXPECT_TRUE(w.app->wait_for_output("📞 Number waiting for the phone: +1 (408) 555-0142")) << w.out();
        // The first handshake is refused: no link counts until one succeeds.
        auto refusals = std::make_shared<std::atomic<int>>(service_first ? 1 : 0);
        w.phone.set_command_hook([refusals](int, const std::string& c, std::string* reply) {
            return c.rfind("AT+BRSF=", 0) == 0 && refusals->fetch_sub(1) > 0 && (*reply = "\r\nERROR\r\n", true);
        });
        w.phone.listen_rfcomm(5);
        sim::Command atd;
        ASSERT_TRUE(w.phone.wait_for_command("ATD", 60000, &atd)) << w.out();   // after the back-off
        EXPECT_EQ(atd.text, "ATD+14085550142;");
        EXPECT_EQ(w.app->count("⚠️ Handshake failed; the call link is not ready"), service_first ? 1 : 0) << w.out();
        EXPECT_EQ(atd.conn, w.phone.listener_connection()) << "placed on the standing link";
        EXPECT_TRUE(w.app->wait_for_output("✓ Call started: +1 (408) 555-0142")) << w.out();
        // The phone's voice link adds the codec line, which moves the buttons.
        EXPECT_TRUE(w.app->wait_for_output("🎧")) << w.out();
        th::Point hangup = w.button(idle, kRed);
        w.goes_active();
        EXPECT_TRUE(w.click_sends(hangup, "AT+CHUP", atd.conn)) << w.out();
        EXPECT_TRUE(w.wait_button_off(hangup, kRed));

        ASSERT_TRUE(w.phone.incoming_call("+4930123456", "Alice"));
        th::Point answer = w.button(idle, kGreen);
        EXPECT_TRUE(w.click_sends(answer, "ATA", atd.conn)) << w.out();
        EXPECT_TRUE(w.app->wait_for_output("✓ Call active")) << w.out();
        EXPECT_TRUE(th::wait_until([&] { return w.app->count("🎧") == 2; })) << w.out();
        hangup = w.button(idle, kRed);
        EXPECT_EQ(w.commands("ATD").size(), 1u);
        EXPECT_EQ(w.phone.connections(), std::vector<int>{atd.conn}) << "one link at a time";
        EXPECT_EQ(w.out().find("copied to clipboard"), std::string::npos) << w.out();
        if (service_first) {
            // A refused number stays to be mended: Call once more refuses it once more.
            EXPECT_TRUE(w.click_sends(hangup, "AT+CHUP", atd.conn)) << w.out();
            EXPECT_TRUE(w.wait_button_off(hangup, kRed));
            dial_from_pad(w, "123;456");
            EXPECT_TRUE(w.app->wait_for_output("⚠️ Number refused")) << w.out();
            th::press_key(w.display(), "Return");
            EXPECT_TRUE(th::wait_until([&] { return w.app->count("⚠️ Number refused") == 2; })) << w.out();
            EXPECT_EQ(w.commands("ATD123").size(), 0u);
        }
        expect_clean(w);
    }
}

// A busy first connect, replies byte by byte, silence, garbage and a refused
// answer: the listener's link carries on, and key tones go out in order.
TEST(Robustness, ARetriedListenerSurvivesSilentDialsGarbageAndRefusedAnswersAndCarriesKeyTones)
{
    CallWorld w;
    w.phone.inject_fault("connect-rfcomm", "EBUSY", 1);
    w.phone.set_reply_chunking(1, 1);
    w.phone.set_silent_on("ATD");
    w.phone.set_command_hook([](int, const std::string& c, std::string* reply) { return c == "ATA" && (*reply = "\r\nERROR\r\n", true); });
    w.launch();
    ASSERT_TRUE(w.app->wait_for_output("⚠️ Listener connection error", 20000)) << w.out();
    ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 30000)) << w.out();
    int conn = w.phone.listener_connection();
    th::Image idle = w.idle_screen();

    // A dial the phone never answers: its state is read, then the clipboard.
    w.hand_over("tel:0301234567");
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Call response: (empty)", 20000)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("📋 0301234567 copied to clipboard", 10000)) << w.out();
    dismiss_dialog(w);

    w.phone.send_raw(conn, std::string("\r\n\x01\x02\xff\xfe junk \0 more\r\n", 20));
    w.phone.send_raw(conn, "\r\n" + std::string(4096, 'A') + "\r\n\r\n+CIEV: 99,1\r\n\r\n+CIEV: x,y\r\n\r\n+CLIP: garbage\r\n");
    for (char c : std::string("\r\nRING\r\n\r\n+CLIP: \"+49301234567\",145,,,\"<b>Tom & Jerry</b> <i\"\r\n"))
        w.phone.send_raw(conn, std::string(1, c));
    w.phone.ciev(conn, "callsetup", 1);
    EXPECT_TRUE(w.app->wait_for_output("📱 Caller: <b>Tom & Jerry</b> <i (+49301234567)")) << w.out();
    th::Point answer = w.button(idle, kGreen);
    size_t before_answer = w.phone.command_count();
    EXPECT_TRUE(w.click_sends(answer, "ATA", conn)) << w.out();
    // Refused: what the phone says is true is shown within 5 s (it rings no more).
    EXPECT_TRUE(w.app->wait_for_output("⚠️ Answer: the phone answered ERROR to ATA; reading its calls")) << w.out();
    EXPECT_TRUE(w.phone.wait_for_command("AT+CIND?", 5000, nullptr, conn, before_answer)) << w.out();
    EXPECT_TRUE(th::wait_until([&] { return !coloured_near(w.shot(), answer, kGreen) && !th::newly_coloured(idle, w.shot(), kRed); }, 5000)) << w.out();
    w.phone.set_indicator("callsetup", 0, true);

    w.phone.set_indicator("call", 1, true);
    w.button(idle, kRed);
    size_t from = w.phone.command_count();
    // Keys during a call are tones, one command each; Call does not dial them.
    dial_from_pad(w, "1*9#");
    ASSERT_TRUE(w.phone.wait_for_command("AT+VTS=#", 10000, nullptr, -1, from)) << w.out();
    EXPECT_TRUE(w.app->wait_for_output("⚠️ A call is in progress")) << w.out();
    EXPECT_EQ(w.commands("AT+VTS"), (std::vector<std::string>{"AT+VTS=1", "AT+VTS=*", "AT+VTS=9", "AT+VTS=#"}));
    EXPECT_EQ(w.commands("ATD").size(), 1u);
    expect_clean(w);
}

// A dial whose phone goes away leaves its number on the clipboard and no call behind.
TEST(Robustness, PhoneLostDuringADialLeavesNoCallAndTheNextConnectionDials)
{
    {
        CallWorld w(sim::kOrderServiceFirst);
        w.phone.set_silent_on("ATD0301234567");
        w.phone.set_auto_call_progress(true);
        w.launch();
        ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
        th::Image idle = w.idle_screen();

        dial_from_pad(w, "0301234567");
        ASSERT_TRUE(w.phone.wait_for_command("ATD0301234567;", 10000)) << w.out();
        int lookups = w.phone.hfp_sdp_search_count();
        w.world.bluez->disconnect_device(kAddr);
        ASSERT_TRUE(w.app->wait_for_output("State: CONNECTED -> PAIRED")) << w.out();
        EXPECT_TRUE(w.app->wait_for_output("📋 0301234567 copied to clipboard")) << w.out();
        dismiss_dialog(w);

        size_t from = w.out().size();
        w.world.bluez->connect_device(kAddr);
        ASSERT_TRUE(th::wait_until([&] { return w.out().find(kListenerReady, from) != std::string::npos; }, 20000)) << w.out();
        EXPECT_FALSE(th::newly_coloured(idle, w.shot(), kRed)) << "a call outlived its phone\n" << w.out();
        EXPECT_EQ(w.out().find("✓ Call started: 0301234567"), std::string::npos) << w.out();
        EXPECT_EQ(w.phone.hfp_sdp_search_count(), lookups) << "the phone's channel was looked up again";

        dial_from_pad(w, "0307654321");
        EXPECT_TRUE(w.app->wait_for_output("✓ Call started: 0307654321")) << w.out();
        w.button(idle, kRed);
        expect_clean(w);
    }
}

// True while the phone's end of a voice link is up (what the PC sends is drained).
bool voice_up(int fd)
{
    char buf[512];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {}
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// The centre of the green just below the call's own buttons, where the second call's Hold & Answer
// or Swap sits; not matched by shape, as the dial pad's Call button changes shape as the area opens.
std::optional<th::Point> green_below(const th::Image& img, th::Point hangup)
{
    long sx = 0, sy = 0, n = 0;
    for (int y = hangup.y + 25; y < std::min(img.height, hangup.y + 250); ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.pixel(x, y) == kGreen)
                sx += x, sy += y, ++n;
    return n >= 100 ? std::optional(th::Point{int(sx / n), int(sy / n)}) : std::nullopt;
}

th::Point second_call_button(CallWorld& w, th::Point hangup, int other_than_x = -1000)
{
    std::optional<th::Point> found;
    auto away = [&] { return (found = green_below(w.shot(), hangup)) && std::abs(found->x - other_than_x) > 40; };
    EXPECT_TRUE(th::wait_until(away)) << "no second call's button\n" << w.out();
    return found.value_or(th::Point{-1, -1});
}

// A call of the phone's own, made there or found at connect, is shown and heard; a
// waiting caller never takes its Hang up or voice link, which is never opened anew.
TEST(SecondCall, ACallOfThePhoneIsShownAndHeardAndAWaitingCallerNeverTakesItForBothIndicatorOrders)
{
    for (bool there_at_start : {false, true}) {   // with the call-first indicator order
        SCOPED_TRACE(there_at_start ? "call first, there at start" : "service first");
        CallWorld w(there_at_start ? sim::kOrderCallFirst : sim::kOrderServiceFirst);
        w.phone.listen_sco();
        if (there_at_start)
            w.phone.set_indicator("call", 1);
        w.launch();
        ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 20000)) << w.out();
        th::Image idle = w.idle_screen();
        if (there_at_start)
            EXPECT_NE(w.app->find("📞 Phone has a call"), std::string::npos) << w.out();
        else
            w.phone.set_indicator("call", 1, true);
        int voice = w.phone.voice_link(15000);
        ASSERT_GE(voice, 0) << w.out();
        th::Point hangup = w.button(there_at_start ? th::Image{} : idle, kRed);

        ASSERT_TRUE(w.phone.waiting_call("+4930999888", "Bob"));
        EXPECT_TRUE(w.app->wait_for_output("⏳ Waiting caller: Bob (+4930999888)")) << w.out();
        th::Point hold_answer = second_call_button(w, hangup);
        w.phone.set_indicator("callsetup", 0, true);
        EXPECT_TRUE(th::wait_until([&] { return !green_below(w.shot(), hangup); })) << w.out();
        EXPECT_TRUE(coloured_near(w.shot(), hangup, kRed)) << "the call in progress lost its Hang up\n" << w.out();
        EXPECT_TRUE(voice_up(voice)) << w.out();

        ASSERT_TRUE(w.phone.waiting_call("+4930111222"));
        hold_answer = second_call_button(w, hangup);
        ASSERT_TRUE(w.click_sends(hold_answer, "AT+CHLD=2")) << w.out();
        EXPECT_TRUE(w.app->wait_for_output("⏸ Call on hold (CIEV)")) << w.out();
        th::Point swap = second_call_button(w, hangup, hold_answer.x);   // the held call's Swap, one wide button
        ASSERT_TRUE(w.click_sends(swap, "AT+CHLD=2")) << w.out();
        EXPECT_TRUE(voice_up(voice)) << w.out();
        EXPECT_TRUE(coloured_near(w.shot(), hangup, kRed)) << w.out();
        EXPECT_EQ(w.phone.voice_link(0), -1) << "the voice link was opened anew";

        w.phone.set_indicator("callheld", 0, true);
        w.phone.set_indicator("call", 0, true);
        EXPECT_TRUE(w.wait_button_off(hangup, kRed));
        EXPECT_TRUE(th::wait_until([&] { return !voice_up(voice); })) << w.out();
        EXPECT_EQ(w.out().find("INCOMING CALL"), std::string::npos) << w.out();
        expect_clean(w);
    }
}

// Losing the link mid-call, to the phone or with BlueZ, leaves no call or
// voice link behind, and the next link carries one.
TEST(Robustness, ALinkLostMidCallLeavesNoCallAndTheNextLinkCarriesOne)
{
    const std::string contacts = "name,number\n\"Alice\",\"+4930123456\"\n";
    for (bool bluez_stops : {false, true}) {
        SCOPED_TRACE(bluez_stops ? "BlueZ stops" : "the phone drops the link");
        CallWorld w;
        th::write_file(w.world.dir.file("contacts.csv"), contacts);
        w.phone.listen_sco();
        w.launch();
        ASSERT_TRUE(w.app->wait_for_output(kListenerReady, 30000)) << w.out();
        th::Image idle = w.idle_screen();
        int conn = w.phone.listener_connection();
        w.phone.ciev(conn, "call", 1);   // on the phone the call ends with the link
        int voice = w.phone.voice_link(15000);
        ASSERT_GE(voice, 0) << w.out();
        th::Point hangup = w.button(idle, kRed);
        if (bluez_stops)
            delete std::exchange(w.world.bluez, nullptr);
        else
            w.phone.drop(conn);
        EXPECT_TRUE(w.app->wait_for_output(bluez_stops ? "⚠️ Bluetooth service stopped" : "⚠️ Listener connection lost")) << w.out();
        EXPECT_TRUE(w.wait_button_off(hangup, kRed)) << w.out();
        EXPECT_TRUE(th::wait_until([&] { return !voice_up(voice); })) << w.out();
        if (bluez_stops) {
            EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << w.out();
            w.world.bluez = new th::MockBluez(*w.world.system_bus, w.world.dir.file("dbusmock-again.log"));
            w.world.bluez->add_adapter("hci0", "telvane-test");
            w.phone_connected_in_bluez();
        }
        ASSERT_TRUE(th::wait_until([&] { return w.app->count(kListenerReady) == 2; }, 30000)) << w.out();
        EXPECT_TRUE(th::main_loop_answers(w.world.session_bus)) << w.out();

        w.phone.set_indicator("call", 1, true);
        EXPECT_GE(w.phone.voice_link(15000), 0) << w.out();
        hangup = w.button(idle, kRed);
        w.phone.set_indicator("call", 0, true);
        EXPECT_TRUE(w.wait_button_off(hangup, kRed)) << w.out();
        EXPECT_EQ(th::read_file(w.world.data_file("contacts.csv")), contacts);   // moved there at start
        expect_clean(w);
    }
}

}  // namespace
