#include "store/connection_events.h"

#include "audio/sound_module.h"
#include "base/changes.h"
#include "base/log.h"
#include "base/main_thread.h"
#include "connection/device.h"
#include "core/text.h"
#include "hfp/listener.h"
#include "store/connection_state.h"
#include "store/hands_free.h"
#include "store/phone_record.h"
#include "store/reconnect.h"

#include <cstring>

namespace {

constexpr const char* kNoAdapter = "No Bluetooth adapter: plug one in or switch it on, then press Start";

// A confirmation names the phone that is pairing. A connected phone keeps
// its place; a different phone replaces the recorded one wholly, so address,
// name and hands-free channel never belong to another phone than the path.
void record_pairing_device(const char* path)
{
    if (std::strcmp(path, device_path) == 0)
        return;
    if (current_state.load() == CONNECTED && device_path[0] != '\0')
        return;
    forget_phone_record();
    copy_text(device_path, path);
}

void take_paired_phone(const char* object_path)
{
    get_device_info(object_path);
    log_msg("✓ Pairing completed");
    if (current_state.load() == CONNECTED)
        return;
    set_state(PAIRED);
    state_changed_later(Change::Header);
    if (auto_connect_in_progress.load() == 0 && device_path[0] != '\0') {
        auto_connect_in_progress = 1;
        set_state(CONNECTING);
        update_ui();
        start_auto_connect(device_path);
    }
}

void let_unpaired_phone_go()
{
    log_msg("🔓 Pairing removed");
    cleanup_connection("📴 Device disconnected", true);
    set_state(resting_state());
    state_changed_later(Change::Header);
}

void take_connected_phone(const char* object_path)
{
    // A Connected=true for the phone already connected changes nothing: the
    // log says it once, and the sound server has already been asked to let
    // go of the phone.
    if (current_state.load() == CONNECTED && std::strcmp(object_path, device_path) == 0)
        return;
    get_device_info(object_path);
    log_msg("📱 Device connected");
    // The sound server grabs a connected phone's audio for itself; the
    // hands-free audio is ours. Other devices' modules stay loaded.
    release_phone_from_sound_server_async(device_path);
    auto_connect_in_progress = 0;
    set_state(CONNECTED);
    state_changed_later(Change::Header);
}

void end_lost_connection()
{
    int state = current_state.load();
    if (state != CONNECTING && state != CONNECTED)
        return;
    cleanup_connection("📴 Connection lost", false);
    set_state(device_paired.load() ? PAIRED : resting_state());
    state_changed_later(Change::Header);
}

}  // namespace

void apply_connection_event(const PhoneFound& e)
{
    get_device_info(e.path.c_str());
    log_msg(e.connected ? "ℹ️ Connected device found at startup" : "ℹ️ Paired device found at startup");
    set_state(e.connected ? CONNECTED : PAIRED);
}

void apply_connection_event(const PairingConfirmed& e)
{
    record_pairing_device(e.path.c_str());
    if (current_state.load() != CONNECTED) {
        set_state(PAIRING);
        state_changed_later(Change::Header);
    }
}

void apply_connection_event(const PairingCancelled&)
{
    // BlueZ cancels any abandoned request, also one of another device:
    // only a pairing in progress goes back to where it came from.
    if (current_state.load() == PAIRING) {
        set_state(resting_state());
        state_changed_later(Change::Header);
    }
}

void apply_connection_event(const PhonePairedChanged& e)
{
    device_paired = e.paired ? 1 : 0;
    if (e.paired)
        take_paired_phone(e.path.c_str());
    else
        let_unpaired_phone_go();
}

void apply_connection_event(const PhoneConnectedChanged& e)
{
    if (e.connected)
        take_connected_phone(e.path.c_str());
    else
        end_lost_connection();
}

void apply_connection_event(const PhoneInRange&)
{
    if (current_state.load() == PAIRED && !reconnect_held())
        reconnect_now();
}

void apply_connection_event(const PhoneRemoved&)
{
    cleanup_connection("🗑️ Device removed", true);
    set_state(resting_state());
    state_changed_later(Change::Header);
}

void apply_connection_event(const HandsFreeLinkHandedOver& e)
{
    hfp_adopt_link(e.fd, hands_free_link_requested());
    if (current_state.load() != CONNECTED) {
        get_device_info(e.path.c_str());
        auto_connect_in_progress = 0;
        set_state(CONNECTED);
        update_ui();
    }
}

void apply_connection_event(const HandsFreeServiceRegistered&)
{
    if (current_state.load() == CONNECTED)
        start_incoming_listener();
    update_ui();
}

void apply_connection_event(const BluetoothServiceStopped&)
{
    cleanup_connection(nullptr, true);
    if (current_state.load() != ERROR)
        set_state(IDLE);
    update_ui();
}

void apply_connection_event(const AdapterRemoved&)
{
    if (pairing_state(current_state.load()))
        apply_connection_event(ConnectionFailed{kNoAdapter});
}

void apply_connection_event(const ConnectionFailed& e)
{
    copy_text(error_msg, e.text.c_str());
    set_state(ERROR);
    update_ui();
}

void apply_connection_event(const DiscoverableStarted&)
{
    // A phone that came in while the adapter was switched on keeps its place.
    int state = current_state.load();
    if (state != PAIRING && state != CONNECTING && state != CONNECTED)
        set_state(DISCOVERABLE);
    update_ui();
}

void apply_connection_event(const DiscoverableStopped&)
{
    set_state(IDLE);
    update_ui();
}

void apply_connection_event(const DiscoverabilityEnded& e)
{
    if (pairing_state(current_state.load()))
        set_state(resting_state());
    // Start is offered only in IDLE: elsewhere the hint would point at a greyed button.
    log_msgf("ℹ️ Discoverability ended %s%s", e.why.c_str(),
             current_state.load() == IDLE ? ": press Start to pair a phone" : "");
    update_ui();
}

void apply_connection_event(const PhoneLetGo&)
{
    // The user wants the phone off: no reconnecting until Connect, or until
    // the phone connects by itself.
    reconnect_hold();
    cleanup_connection(nullptr, false);
    set_state(resting_state());
    update_ui();
}

void apply_connection_event(const ConnectAsked&) { reconnect_now(); }

void apply_connection_event(const AutoConnectDone& e)
{
    ASSERT_MAIN_THREAD();
    auto_connect_in_progress = 0;
    if (e.succeeded) {
        set_state(CONNECTED);
        log_msg("✅ Auto connection established");
    } else if (current_state.load() == CONNECTED) {
        // The phone came in by itself while Connect was pending; its late
        // failure must not tear down a live connection.
        log_msg("ℹ️ Auto connection failed, phone already connected");
    } else if (device_path[0] == '\0') {
        // The phone was given up meanwhile (BlueZ stopped): nothing to fall back to.
        log_msg("ℹ️ Auto connection ended, phone given up");
    } else {
        set_state(PAIRED);
        log_msg("⚠️ Auto connection failed, phone can connect");
    }
    update_ui();
}
