#include "core/views.h"

#include <glib.h>

#include "core/text.h"
#include "core/voice_codec.h"

namespace {

// Info texts are composed in room for 511 bytes, cut on a character boundary.
std::string bounded_info(gchar* text)
{
    std::string info = utf8_repair(text);
    g_free(text);
    if (info.size() > 511)
        info.resize(utf8_cut_len(info, 511));
    return info;
}

}  // namespace

StatusView status_view_for(AppState state, const char* name, const char* addr, const char* error,
                           bool syncing_contacts_now, bool syncing_recents_now, int next_try_s, bool held)
{
    const char* shown_name = (name && *name) ? name : "Unknown";
    const char* shown_addr = (addr && *addr) ? addr : "-";
    StatusView v{"", "", kStatusClasses[IDLE], false, false, false, false, false, false, false};
    switch (state) {
    case IDLE:
        v.status_text = "🔵 Ready";
        v.info_text = "PC in passive mode.\n\nPress 'Start' to become discoverable.\nConnect from your phone.";
        v.start = true;
        break;
    case DISCOVERABLE:
        v.status_text = "📡 Discoverable - Waiting for phone";
        v.info_text = "Scan for Bluetooth on your phone\nand connect to this PC.\n\n"
                      "Pairing and connection are auto-accepted.";
        v.stop = true;
        v.spinner = true;
        break;
    case PAIRING:
        v.status_text = "🔗 Pairing";
        v.info_text = "Pairing request from phone.\nAuto-approved.";
        v.stop = true;
        v.spinner = true;
        break;
    case PAIRED:
        v.status_text = "✓ Paired";
        if (next_try_s >= 0)
            v.info_text = bounded_info(g_strdup_printf("Device: %s\nAddress: %s\n\nNot connected: next try in %d s",
                                                       shown_name, shown_addr, next_try_s));
        else if (held)
            v.info_text = bounded_info(g_strdup_printf(
                "Device: %s\nAddress: %s\n\nNot connected: press Connect, or connect from your phone.", shown_name,
                shown_addr));
        else
            v.info_text = bounded_info(g_strdup_printf(
                "Device: %s\nAddress: %s\n\nNot connected: connect from your phone.", shown_name, shown_addr));
        v.stop = true;
        v.connect = addr && *addr;
        break;
    case CONNECTING:
        v.status_text = "🔗 Connecting";
        v.info_text = bounded_info(
            g_strdup_printf("Device: %s\nAddress: %s\n\nConnecting to %s…", shown_name, shown_addr, shown_name));
        v.spinner = true;
        break;
    case CONNECTED:
        v.status_text = "✅ CONNECTED";
        v.info_text = bounded_info(g_strdup_printf("Device: %s\nAddress: %s\n\nPhone is using this PC as headset.",
                                                   shown_name, shown_addr));
        v.disconnect = true;
        v.search = !syncing_contacts_now;
        v.sync = !syncing_recents_now;
        break;
    case ERROR:
        v.status_text = "❌ ERROR";
        v.info_text = bounded_info(g_strdup_printf("Error: %s", error ? error : ""));
        // Start is how the user tries again once the cause is mended.
        v.start = true;
        break;
    }
    v.style_class = kStatusClasses[state];
    return v;
}

std::string call_sound_line(int state, bool sound_running, VoiceCodec codec, bool sound_on_phone)
{
    if (state == CALL_IDLE)
        return "";
    if (sound_running)
        return codec_label(codec);
    if (state == CALL_ACTIVE && sound_on_phone)
        return "🔈 Sound on the phone";
    return "🎧 No sound yet";
}

std::string call_label_markup(int state, const char* name_raw, const char* number_raw, bool on_hold, int action)
{
    bool has_name = name_raw && name_raw[0];
    bool has_number = number_raw && number_raw[0];
    std::string name = markup_escaped(name_raw), number = markup_escaped(number_raw);
    // Until the phone confirms, the label says what was asked, not its outcome.
    const char* asked = action == ACTION_ANSWERING   ? "📞 Answering…"
                        : action == ACTION_REJECTING ? "❌ Rejecting…"
                        : action == ACTION_ENDING    ? "🔚 Ending…"
                                                     : nullptr;
    if (asked && state != CALL_IDLE) {
        std::string out = asked;
        if (has_name)
            out += "\n\n" + name + "\n" + number;
        else if (has_number)
            out += "\n\n" + number;
        return out;
    }
    switch (state) {
    case CALL_INCOMING:
        if (!has_number)
            return "🔔 INCOMING CALL";
        if (has_name)
            return "🔔 INCOMING CALL\n\n" + name + "\n" + number;
        return "🔔 INCOMING CALL\n\n" + number;
    case CALL_OUTGOING:
        if (has_name)
            return "📱 Calling...\n\n" + name + "\n" + number;
        return "📱 Calling...\n\n" + number;
    case CALL_ACTIVE:
        if (on_hold)
            return has_name ? "⏸️ Call on hold\n\n" + name + "\n" + number : "⏸️ Call on hold\n\n" + number;
        if (has_name)
            return "✅ Call Active\n\n" + name + "\n" + number;
        return "✅ Call Active\n\n" + number;
    default:
        return "📞 No call";
    }
}

namespace {

const char* const kSignalIcons[6] = {
    "network-cellular-signal-none-symbolic", "network-cellular-signal-weak-symbolic",
    "network-cellular-signal-weak-symbolic", "network-cellular-signal-ok-symbolic",
    "network-cellular-signal-good-symbolic", "network-cellular-signal-excellent-symbolic"};
const char* const kBatteryIcons[6] = {"battery-level-0-symbolic",  "battery-level-20-symbolic",
                                      "battery-level-40-symbolic", "battery-level-60-symbolic",
                                      "battery-level-80-symbolic", "battery-level-100-symbolic"};

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
