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
#include "ui/phone_status.h"
#include "ui/window.h"

#include <gtk/gtk.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

namespace {

std::mutex request_mutex;
unsigned long request_ticket = 0;     // guarded by request_mutex
int last_requested_state = CALL_IDLE; // guarded by request_mutex
std::atomic<unsigned long> applied_ticket{0};

struct StateRequest {
    unsigned long ticket;
    int state;
};

struct CustomRequest {
    unsigned long ticket;
    std::function<void()> apply;
};

struct CallerRequest {
    unsigned long ticket;   // 0 when only the display is refreshed
    char number[64];
    char name[128];
};

void mark_applied(unsigned long ticket)
{
    unsigned long seen = applied_ticket.load();
    while (seen < ticket && !applied_ticket.compare_exchange_weak(seen, ticket)) {
    }
}

gboolean apply_state_request_cb(gpointer data)
{
    std::unique_ptr<StateRequest> request(static_cast<StateRequest*>(data));
    mark_applied(request->ticket);
    return hfp_update_call_state_cb(GINT_TO_POINTER(request->state));
}

gboolean apply_custom_request_cb(gpointer data)
{
    std::unique_ptr<CustomRequest> request(static_cast<CustomRequest*>(data));
    mark_applied(request->ticket);
    request->apply();
    return G_SOURCE_REMOVE;
}

gboolean apply_caller_request_cb(gpointer data)
{
    std::unique_ptr<CallerRequest> request(static_cast<CallerRequest*>(data));
    copy_text(current_call_number, request->number);
    copy_text(current_call_name, request->name);
    if (request->ticket == 0)
        return hfp_refresh_ui_cb(nullptr);
    mark_applied(request->ticket);
    return hfp_update_call_state_cb(GINT_TO_POINTER(CALL_INCOMING));
}

void start_voice_link_if_idle()
{
    if (sco_audio_running.load() == 0 && sco_socket.load() < 0 && device_addr[0] != '\0')
        sco_connect();
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

void request_call_state_with(CallState state, std::function<void()> apply)
{
    std::lock_guard<std::mutex> lock(request_mutex);
    last_requested_state = state;
    auto* request = new CustomRequest{++request_ticket, std::move(apply)};
    g_idle_add(apply_custom_request_cb, request);
}

void request_call_state(CallState state)
{
    // Queued under the lock so tickets reach the main loop in ticket order.
    std::lock_guard<std::mutex> lock(request_mutex);
    last_requested_state = state;
    auto* request = new StateRequest{++request_ticket, state};
    g_idle_add(apply_state_request_cb, request);
}

void request_caller_info(const char* number, const char* name, bool ring)
{
    auto* request = new CallerRequest{};
    copy_text(request->number, number);
    copy_text(request->name, name);
    std::lock_guard<std::mutex> lock(request_mutex);
    if (ring) {
        last_requested_state = CALL_INCOMING;
        request->ticket = ++request_ticket;
    }
    g_idle_add(apply_caller_request_cb, request);
}

int reader_call_state()
{
    std::lock_guard<std::mutex> lock(request_mutex);
    if (applied_ticket.load() < request_ticket)
        return last_requested_state;
    return current_call_state.load();
}

void set_call_state(CallState state)
{
    ASSERT_MAIN_THREAD();
    if (current_call_state.load() == state)
        return;
    current_call_state = state;
    stop_ringtone();
    if (state == CALL_IDLE)
        stop_sco_audio(nullptr);
    update_call_ui();
}

gboolean hfp_update_call_state_cb(gpointer data)
{
    ASSERT_MAIN_THREAD();
    int state = GPOINTER_TO_INT(data);
    if (state == CALL_IDLE) {
        stop_sco_audio(nullptr);
        std::memset(current_call_number, 0, sizeof current_call_number);
        std::memset(current_call_name, 0, sizeof current_call_name);
        if (current_call_state.load() != CALL_IDLE)
            set_call_state(CALL_IDLE);
        update_ui();
        return G_SOURCE_REMOVE;
    }
    if (state == current_call_state.load()) {
        update_ui();
        return G_SOURCE_REMOVE;
    }
    if (state == CALL_INCOMING) {
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
        update_call_ui();
        update_ui();
        return G_SOURCE_REMOVE;
    }
    if (state == CALL_OUTGOING || state == CALL_ACTIVE) {
        current_call_state = state;
        stop_ringtone();
        update_call_ui();
        update_ui();
    }
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
    phone_status_from_ciev(indicator, value);
    IndicatorMap map = hfp_indicator_map();
    int state = reader_call_state();
    if (indicator == map.call) {
        if (value == 1) {
            log_msg("✓ Call active");
            start_voice_link_if_idle();
            request_call_state(CALL_ACTIVE);
        } else if (value == 0 && state != CALL_IDLE) {
            log_msg("📱 Call ended");
            request_call_state(CALL_IDLE);
        }
        return;
    }
    if (indicator != map.callsetup)
        return;
    switch (value) {
    case 0:
        if (state == CALL_INCOMING || state == CALL_OUTGOING) {
            log_msg("✓ Call setup completed (setup=0)");
            request_call_state(CALL_IDLE);
        } else if (state == CALL_IDLE) {
            request_call_state(CALL_IDLE);
        }
        break;
    case 1:
        if (state != CALL_INCOMING) {
            log_msg("🔔 INCOMING CALL (CIEV)");
            request_call_state(CALL_INCOMING);
        }
        break;
    case 2:
    case 3:
        if (state != CALL_OUTGOING) {
            log_msg("📱 Outgoing call (CIEV)");
            request_call_state(CALL_OUTGOING);
        }
        start_voice_link_if_idle();
        break;
    default:
        break;
    }
}

// Handles one batch of lines from the dial connection. Returns false when the
// call ended and the monitor should stop.
static bool monitor_handle_lines(const std::vector<std::string>& lines)
{
    bool had_indicator = false;
    for (const std::string& line : lines) {
        if (line.find("+CIEV") == std::string::npos)
            continue;
        had_indicator = true;
        int indicator = -1, value = -1;
        if (parse_ciev(line.c_str(), &indicator, &value))
            handle_ciev_event(indicator, value);
    }
    // An end code beside an indicator event in the same batch is the phone
    // repeating what the event already said.
    if (had_indicator)
        return true;
    for (const std::string& line : lines) {
        if (is_end_code(line)) {
            log_msg("📱 Call ended");
            request_call_state(CALL_IDLE);
            return false;
        }
    }
    return true;
}

gpointer hfp_monitor_thread(gpointer data)
{
    // The dial connection's channel, handed over by dial_number so that lines
    // already split off (and unsolicited codes seen during the dial) are kept.
    std::unique_ptr<std::shared_ptr<AtChannel>> handed(static_cast<std::shared_ptr<AtChannel>*>(data));
    std::shared_ptr<AtChannel> channel = handed ? *handed : nullptr;
    log_msg("🔊 HFP monitor started");
    bool running = hfp_monitor_running.load() != 0;
    if (running && channel)
        running = monitor_handle_lines(channel->take_unsolicited());
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
            request_call_state(CALL_IDLE);
            int own = fd;
            if (hfp_socket.compare_exchange_strong(own, -1)) {
                shutdown(fd, SHUT_RDWR);
                close(fd);
            }
            break;
        }
        if (!monitor_handle_lines(lines))
            break;
        if (hfp_monitor_running.load() == 0)
            break;
    }
    log_msg("🔊 HFP monitor stopped");
    hfp_monitor_running = 0;
    return nullptr;
}
