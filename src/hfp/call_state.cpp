#include "hfp/call_state.h"

#include "app/log.h"
#include "app/main_thread.h"
#include "app/text.h"
#include "audio/sco.h"
#include "connection/device.h"
#include "connection/state.h"
#include "hfp/at.h"
#include "hfp/call_actions.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "ui/phone_status.h"
#include "ui/window.h"

#include <gtk/gtk.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

std::atomic<int> current_call_state{CALL_IDLE};
char current_call_number[64] = "";
char current_call_name[128] = "";
guint ringtone_timer_id = 0;

CallView current_call_view;
CallParty waiting_call_party;
CallParty held_call_party;

namespace {

std::mutex model_mutex;
CallModel call_model;                     // guarded by model_mutex
unsigned link_generation = 1;             // guarded by model_mutex
unsigned long latest_ticket = 0;          // guarded by model_mutex

std::mutex voice_mutex;                   // one open or close of the voice link at a time
std::map<std::string, int> indicators;    // main loop

struct ApplyRequest {
    unsigned generation;
    unsigned long ticket;
};

struct IndicatorUpdate {
    unsigned generation;
    std::string name;
    int value;
};

bool stale(unsigned generation, unsigned long ticket)
{
    std::lock_guard<std::mutex> lock(model_mutex);
    // A newer request queued behind this one applies the same model later.
    return generation != link_generation || ticket != latest_ticket;
}

void apply_latest_view();

gboolean apply_call_view_cb(gpointer data)
{
    std::unique_ptr<ApplyRequest> request(static_cast<ApplyRequest*>(data));
    if (!stale(request->generation, request->ticket))
        apply_latest_view();
    return G_SOURCE_REMOVE;
}

gboolean apply_indicator_cb(gpointer data)
{
    std::unique_ptr<IndicatorUpdate> update(static_cast<IndicatorUpdate*>(data));
    if (update->generation == hfp_link_generation()) {
        indicators[update->name] = update->value;
        update_phone_status();
    }
    return G_SOURCE_REMOVE;
}

void post_indicator(unsigned generation, const std::string& name, int value)
{
    if (!name.empty())
        g_idle_add(apply_indicator_cb, new IndicatorUpdate{generation, name, value});
}

gboolean voice_retry_cb(gpointer)
{
    voice_link_sync(false);
    return G_SOURCE_REMOVE;
}

bool on_main_loop()
{
    return g_main_context_is_owner(g_main_context_default());
}

void stop_ringtone()
{
    if (ringtone_timer_id != 0) {
        g_source_remove(ringtone_timer_id);
        ringtone_timer_id = 0;
    }
}

void beep()
{
    GdkDisplay* display = gdk_display_get_default();
    if (display)
        gdk_display_beep(display);
}

void skip_blanks(const char*& p)
{
    while (*p == ' ' || *p == '\t')
        ++p;
}

bool read_int(const char*& p, int* out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    p = end;
    return true;
}

bool is_end_code(const std::string& line)
{
    return line.find("NO CARRIER") != std::string::npos || line.find("BUSY") != std::string::npos ||
           line.find("NO ANSWER") != std::string::npos;
}

}  // namespace

unsigned hfp_link_generation()
{
    std::lock_guard<std::mutex> lock(model_mutex);
    return link_generation;
}

void call_link_closed()
{
    ASSERT_MAIN_THREAD();
    {
        std::lock_guard<std::mutex> lock(model_mutex);
        ++link_generation;
        call_model.reset();
    }
    indicators.clear();
    update_phone_status();
}

bool call_feed(unsigned generation, const std::function<void(CallModel&)>& change, CallView* before, CallView* after)
{
    std::lock_guard<std::mutex> lock(model_mutex);
    if (generation != link_generation)
        return false;
    if (before)
        *before = call_model.view();
    change(call_model);
    if (after)
        *after = call_model.view();
    g_idle_add(apply_call_view_cb, new ApplyRequest{generation, ++latest_ticket});
    return true;
}

CallModel call_model_snapshot()
{
    std::lock_guard<std::mutex> lock(model_mutex);
    return call_model;
}

void voice_link_sync(bool may_open)
{
    std::unique_lock<std::mutex> lock(voice_mutex, std::defer_lock);
    if (may_open) {
        lock.lock();
    } else if (!lock.try_lock()) {
        // A reader is opening the link; look again once it is done.
        g_timeout_add(50, voice_retry_cb, nullptr);
        return;
    }
    // Judged against the newest model every time, so a request older than
    // the link never closes it.
    auto wanted = [] { return call_model_snapshot().view().voice && phone_addr()[0] != '\0'; };
    auto up = [] { return sco_audio_running.load() != 0 || sco_socket.load() >= 0; };
    if (wanted() && !up() && may_open) {
        sco_connect();
        // The call may have ended while the link was being made.
        if (!wanted() && up())
            stop_sco_audio(nullptr);
    } else if (!wanted() && up()) {
        stop_sco_audio(nullptr);
    }
}

int phone_indicator(const char* name)
{
    auto it = indicators.find(name ? name : "");
    return it == indicators.end() ? -1 : it->second;
}

void set_call_state(CallState state)
{
    ASSERT_MAIN_THREAD();
    if (current_call_state.load() == state)
        return;
    current_call_state = state;
    stop_ringtone();
    if (state == CALL_IDLE) {
        current_call_view = CallView{};
        waiting_call_party = held_call_party = CallParty{};
        voice_link_sync(false);
    }
    update_call_ui();
}

namespace {

void ring_and_raise()
{
    current_call_state = CALL_INCOMING;
    if (ringtone_timer_id == 0)
        ringtone_timer_id = g_timeout_add(1000, ringtone_tick, nullptr);
    if (window) {
        GtkWindow* w = GTK_WINDOW(window);
        gtk_widget_show(window);
        gtk_window_deiconify(w);
        gtk_window_set_keep_above(w, TRUE);
        gtk_window_set_urgency_hint(w, TRUE);
        gtk_window_present_with_time(w, 0);
        beep();
    }
}

void apply_latest_view()
{
    ASSERT_MAIN_THREAD();
    CallModel model = call_model_snapshot();
    CallView view = model.view();
    if (view.state == CALL_IDLE) {
        std::memset(current_call_number, 0, sizeof current_call_number);
        std::memset(current_call_name, 0, sizeof current_call_name);
        if (current_call_state.load() != CALL_IDLE)
            set_call_state(CALL_IDLE);
        current_call_view = view;
        waiting_call_party = held_call_party = CallParty{};
        voice_link_sync(false);
        update_call_ui();
        update_ui();
        return;
    }
    copy_text(current_call_number, model.party().number.c_str());
    copy_text(current_call_name, model.party().name.c_str());
    waiting_call_party = view.waiting ? model.waiting_party() : CallParty{};
    held_call_party = view.held && !view.held_only ? model.held_party() : CallParty{};
    current_call_view = view;
    if (view.state == CALL_INCOMING) {
        if (current_call_state.load() != CALL_INCOMING)
            ring_and_raise();
    } else {
        current_call_state = view.state;
        stop_ringtone();
    }
    if (!view.voice)
        voice_link_sync(false);
    update_call_ui();
    update_ui();
}

}  // namespace

gboolean hfp_update_call_state_cb(gpointer data)
{
    ASSERT_MAIN_THREAD();
    // The phone says there is no call: believe it over anything seen before.
    if (GPOINTER_TO_INT(data) == CALL_IDLE) {
        std::lock_guard<std::mutex> lock(model_mutex);
        call_model.reset();
    }
    apply_latest_view();
    return G_SOURCE_REMOVE;
}

gboolean ringtone_tick(gpointer)
{
    beep();
    return G_SOURCE_CONTINUE;
}

bool parse_ciev(const char* reply, int* indicator, int* value)
{
    if (!reply)
        return false;
    const char* p = std::strstr(reply, "+CIEV:");
    if (!p)
        return false;
    p += 6;
    skip_blanks(p);
    int first = 0, second = 0;
    if (!read_int(p, &first))
        return false;
    skip_blanks(p);
    if (*p != ',')
        return false;
    ++p;
    skip_blanks(p);
    if (!read_int(p, &second))
        return false;
    *indicator = first;
    *value = second;
    return true;
}

void handle_ciev_event(int indicator, int value)
{
    handle_ciev_event_from(hfp_link_generation(), indicator, value);
}

void handle_ciev_event_from(unsigned generation, int indicator, int value)
{
    IndicatorMap map = hfp_indicator_map();
    std::string name = hfp_indicator_name(map, indicator);
    if (indicator == map.call)
        name = "call";
    else if (indicator == map.callsetup)
        name = "callsetup";
    else if (indicator == map.callheld)
        name = "callheld";
    post_indicator(generation, name, value);
    CallView before, after;
    bool fed = false;
    if (name == "call")
        fed = call_feed(generation, [value](CallModel& m) { m.on_call(value); }, &before, &after);
    else if (name == "callsetup")
        fed = call_feed(generation, [value](CallModel& m) { m.on_callsetup(value); }, &before, &after);
    else if (name == "callheld")
        fed = call_feed(generation, [value](CallModel& m) { m.on_callheld(value); }, &before, &after);
    if (!fed)
        return;
    if (name == "call" && value == 1)
        log_msg("✓ Call active");
    else if (name == "call" && value == 0 && before.state != CALL_IDLE)
        log_msg("📱 Call ended");
    else if (name == "callsetup" && value == 0 && (before.state == CALL_INCOMING || before.state == CALL_OUTGOING))
        log_msg("✓ Call setup completed (setup=0)");
    else if (name == "callsetup" && after.state == CALL_INCOMING && before.state != CALL_INCOMING)
        log_msg("🔔 INCOMING CALL (CIEV)");
    else if (name == "callsetup" && after.waiting && !before.waiting)
        log_msg("⏳ Call waiting (CIEV)");
    else if (name == "callsetup" && after.state == CALL_OUTGOING && before.state != CALL_OUTGOING)
        log_msg("📱 Outgoing call (CIEV)");
    else if (name == "callheld" && after.held && !before.held)
        log_msg("⏸ Call on hold (CIEV)");
    else if (name == "callheld" && !after.held && before.held)
        log_msg("▶️ No call on hold (CIEV)");
    if (after.voice && !on_main_loop())
        voice_link_sync(true);
}

void call_status_from_phone(unsigned generation, const std::vector<int>& values)
{
    if (values.empty())
        return;
    IndicatorMap map = hfp_indicator_map();
    auto value_of = [&](int index) {
        return index >= 1 && static_cast<size_t>(index) <= values.size() ? values[static_cast<size_t>(index) - 1] : -1;
    };
    for (size_t i = 0; i < values.size(); ++i)
        post_indicator(generation, hfp_indicator_name(map, static_cast<int>(i) + 1), values[i]);
    int call = value_of(map.call), setup = value_of(map.callsetup), held = value_of(map.callheld);
    CallView after;
    if (!call_feed(generation, [=](CallModel& m) { m.on_status(call, setup, held); }, nullptr, &after))
        return;
    if (after.state != CALL_IDLE)
        log_msgf("📞 Phone has a call: call=%d callsetup=%d callheld=%d", call, setup, held);
    if (after.voice && !on_main_loop())
        voice_link_sync(true);
}

// Handles one batch of lines from the dial connection. Returns false when the
// call ended and the monitor should stop.
static bool monitor_handle_lines(unsigned generation, const std::vector<std::string>& lines)
{
    bool had_indicator = false;
    for (const std::string& line : lines) {
        if (line.find("+CIEV") == std::string::npos)
            continue;
        had_indicator = true;
        int indicator = -1, value = -1;
        if (parse_ciev(line.c_str(), &indicator, &value))
            handle_ciev_event_from(generation, indicator, value);
    }
    // An end code beside an indicator event in the same batch is the phone
    // repeating what the event already said.
    if (had_indicator)
        return true;
    for (const std::string& line : lines) {
        if (is_end_code(line)) {
            CallView after;
            if (call_feed(generation, [](CallModel& m) { m.on_end_code(false); }, nullptr, &after) &&
                after.state == CALL_IDLE) {
                log_msg("📱 Call ended");
                return false;
            }
            return true;
        }
    }
    return true;
}

gpointer hfp_monitor_thread(gpointer data)
{
    // The dial connection's channel, handed over by dial_number so that lines
    // already split off (and unsolicited codes seen during the dial) are kept.
    std::unique_ptr<MonitorStart> handed(static_cast<MonitorStart*>(data));
    std::shared_ptr<AtChannel> channel = handed ? handed->channel : nullptr;
    unsigned generation = handed ? handed->generation : hfp_link_generation();
    if (handed)
        adopt_phone(handed->phone);
    log_msg("🔊 HFP monitor started");
    bool running = hfp_monitor_running.load() != 0;
    if (running && channel)
        running = monitor_handle_lines(generation, channel->take_unsolicited());
    while (running) {
        int fd = hfp_socket.load();
        if (fd < 0)
            break;
        if (!channel || channel->source_fd() != fd)
            channel = std::make_shared<AtChannel>(fd);
        bool io_error = false;
        std::vector<std::string> lines = channel->read_lines(500, &io_error);
        if (hfp_monitor_running.load() == 0 || hfp_socket.load() < 0)
            break;
        if (io_error) {
            log_msg("⚠️ HFP connection lost");
            // Without the listener nothing else hears of this call any more.
            if (!listener_link_ready())
                call_feed(generation, [](CallModel& m) { m.reset(); });
            int own = fd;
            if (hfp_socket.compare_exchange_strong(own, -1)) {
                shutdown(fd, SHUT_RDWR);
                close(fd);
            }
            break;
        }
        if (!monitor_handle_lines(generation, lines))
            break;
        if (hfp_monitor_running.load() == 0)
            break;
    }
    log_msg("🔊 HFP monitor stopped");
    hfp_monitor_running = 0;
    return nullptr;
}
