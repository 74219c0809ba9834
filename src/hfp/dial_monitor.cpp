#include "hfp/dial_monitor.h"

#include "app/log.h"
#include "hfp/at.h"
#include "hfp/call_state.h"
#include "hfp/hfp.h"
#include "hfp/listener.h"
#include "hfp/phone_lines.h"

#include <sys/socket.h>
#include <unistd.h>

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
        running = !handle_phone_lines(channel->take_unsolicited(), generation);
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
        if (handle_phone_lines(lines, generation))
            break;
        if (hfp_monitor_running.load() == 0)
            break;
    }
    log_msg("🔊 HFP monitor stopped");
    hfp_monitor_running = 0;
    return nullptr;
}
