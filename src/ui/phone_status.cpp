#include "ui/phone_status.h"

#include "app/main_thread.h"
#include "connection/state.h"
#include "hfp/at.h"
#include "ui/window.h"

#include <atomic>
#include <cstring>

namespace {

constexpr const char* kNames[] = {"service", "signal", "roam", "battchg"};
enum { SERVICE, SIGNAL, ROAM, BATTCHG, COUNT };
std::atomic<int> values[COUNT] = {-1, -1, -1, -1};
// HFP's ranges: service and roam 0-1, signal and battchg 0-5.
constexpr int kMax[COUNT] = {1, 5, 1, 5};

GtkWidget* status_box = nullptr;
GtkWidget* note_label = nullptr;
GtkWidget* signal_image = nullptr;
GtkWidget* battery_image = nullptr;

const char* const kSignalIcons[6] = {
    "network-cellular-signal-none-symbolic", "network-cellular-signal-weak-symbolic",
    "network-cellular-signal-weak-symbolic", "network-cellular-signal-ok-symbolic",
    "network-cellular-signal-good-symbolic", "network-cellular-signal-excellent-symbolic"};
const char* const kBatteryIcons[6] = {"battery-level-0-symbolic",  "battery-level-20-symbolic",
                                      "battery-level-40-symbolic", "battery-level-60-symbolic",
                                      "battery-level-80-symbolic", "battery-level-100-symbolic"};

int slot_at(const IndicatorMap& map, int position)
{
    if (position <= 0)
        return -1;
    if (position == map.service)
        return SERVICE;
    if (position == map.signal)
        return SIGNAL;
    if (position == map.roam)
        return ROAM;
    if (position == map.battchg)
        return BATTCHG;
    return -1;
}

// A value outside the indicator's range says nothing; the last good one stays.
bool store(int slot, int value)
{
    if (slot < 0 || value < 0 || value > kMax[slot])
        return false;
    values[slot] = value;
    return true;
}

gboolean update_phone_status_cb(gpointer)
{
    update_phone_status();
    return G_SOURCE_REMOVE;
}

void on_state_label_changed(GObject*, GParamSpec*, gpointer) { update_phone_status(); }

void show_icon(GtkWidget* image, const char* icon)
{
    if (icon)
        gtk_image_set_from_icon_name(GTK_IMAGE(image), icon, GTK_ICON_SIZE_MENU);
    gtk_widget_set_visible(image, icon != nullptr);
}

}  // namespace

PhoneStatusView phone_status_view(bool connected, int service, int signal, int roam, int battchg)
{
    PhoneStatusView v;
    if (!connected)
        return v;
    std::string tips;
    auto add_tip = [&](const std::string& tip) { tips += (tips.empty() ? "" : "\n") + tip; };
    if (service == 0) {
        v.signal_icon = "network-cellular-offline-symbolic";
        v.note = "No service";
        add_tip("No service");
    } else if (signal >= 0 && signal <= 5) {
        v.signal_icon = kSignalIcons[signal];
        add_tip("Signal: " + std::to_string(signal) + " of 5");
    }
    if (service != 0 && roam == 1) {
        v.note = "Roaming";
        add_tip("Roaming");
    }
    if (battchg >= 0 && battchg <= 5) {
        v.battery_icon = kBatteryIcons[battchg];
        add_tip("Phone battery: " + std::to_string(battchg) + " of 5");
    }
    v.tooltip = tips;
    v.visible = v.signal_icon || v.battery_icon || !v.note.empty();
    return v;
}

bool parse_cind_values(std::string_view line, std::vector<int>* out)
{
    size_t start = line.find("+CIND:");
    if (start == std::string_view::npos)
        return false;
    std::vector<int> found;
    size_t i = start + 6;
    while (true) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        size_t digits = i;
        int value = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && i - digits < 6)
            value = value * 10 + (line[i++] - '0');
        if (i == digits)
            return false;
        found.push_back(value);
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i == line.size())
            break;
        if (line[i++] != ',')
            return false;
    }
    *out = std::move(found);
    return true;
}

void phone_status_from_cind(const std::vector<std::string>& reply_lines)
{
    IndicatorMap map = hfp_indicator_map();
    for (const std::string& line : reply_lines) {
        std::vector<int> found;
        if (!parse_cind_values(line, &found))
            continue;
        for (size_t i = 0; i < found.size(); ++i)
            store(slot_at(map, static_cast<int>(i) + 1), found[i]);
        g_idle_add(update_phone_status_cb, nullptr);
        return;
    }
}

void phone_status_from_ciev(int indicator, int value)
{
    if (store(slot_at(hfp_indicator_map(), indicator), value))
        g_idle_add(update_phone_status_cb, nullptr);
}

int phone_status_value(const char* name)
{
    for (int slot = 0; slot < COUNT; ++slot)
        if (name && std::strcmp(name, kNames[slot]) == 0)
            return values[slot].load();
    return -1;
}

GtkWidget* build_phone_status()
{
    status_box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    note_label = gtk_label_new("");
    signal_image = gtk_image_new();
    battery_image = gtk_image_new();
    for (GtkWidget* child : {note_label, signal_image, battery_image})
        gtk_box_pack_start(GTK_BOX(status_box), child, FALSE, FALSE, 0);
    // Shown only beside a connected phone, never by showing the window.
    gtk_widget_set_no_show_all(status_box, TRUE);
    // Every state change rewrites the state label; the phone's status follows it.
    g_signal_connect(state_label, "notify::label", G_CALLBACK(on_state_label_changed), nullptr);
    return status_box;
}

void update_phone_status()
{
    ASSERT_MAIN_THREAD();
    bool connected = current_state.load() == CONNECTED;
    if (!connected) {
        // The next phone (or the next link) starts from its own answer.
        for (auto& value : values)
            value = -1;
    }
    if (!status_box)
        return;
    PhoneStatusView v = phone_status_view(connected, values[SERVICE], values[SIGNAL], values[ROAM], values[BATTCHG]);
    gtk_label_set_text(GTK_LABEL(note_label), v.note.c_str());
    gtk_widget_set_visible(note_label, !v.note.empty());
    show_icon(signal_image, v.signal_icon);
    show_icon(battery_image, v.battery_icon);
    gtk_widget_set_tooltip_text(status_box, v.visible ? v.tooltip.c_str() : nullptr);
    gtk_widget_set_visible(status_box, v.visible);
}
