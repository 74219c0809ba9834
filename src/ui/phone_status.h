// The phone's battery, signal and network state in the window's header.
#pragma once
#include <gtk/gtk.h>

#include <string>
#include <string_view>
#include <vector>

// What the header shows for the phone's indicator values (-1 = not known).
// Icons are theme icon names, null when that icon is hidden.
struct PhoneStatusView {
    bool visible = false;
    const char* signal_icon = nullptr;
    const char* battery_icon = nullptr;
    std::string note;      // "No service", "Roaming" or ""
    std::string tooltip;
};
PhoneStatusView phone_status_view(bool connected, int service, int signal, int roam, int battchg);

// The values of an "AT+CIND?" answer ("+CIND: 1,0,0,4,0,3"), in the phone's
// indicator order. False for anything else, the "=?" list included.
bool parse_cind_values(std::string_view line, std::vector<int>* out);

// Reader threads: the answer to "AT+CIND?" and each "+CIEV:" event, by the
// phone's 1-based indicator position (the learnt indicator map names them).
void phone_status_from_cind(const std::vector<std::string>& reply_lines);
void phone_status_from_ciev(int indicator, int value);
// Latest value of "service", "signal", "roam" or "battchg"; -1 when unknown.
int phone_status_value(const char* name);

// Main thread: the header's status box (packed by the window) and its refresh.
GtkWidget* build_phone_status();
void update_phone_status();
