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

// Main thread: the header's status box (packed by the window) and its refresh
// from the phone's latest indicator values.
GtkWidget* build_phone_status();
void update_phone_status();
