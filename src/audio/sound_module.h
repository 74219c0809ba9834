// The sound server loads a Bluetooth device module for every connected
// audio device; the phone's own one holds the voice link that we carry.
#pragma once
#include <string>
#include <string_view>

// Index of the module-bluez5-device loaded for device_path, from the output
// of "pactl list modules short"; -1 when there is none.
int bluez_module_index(std::string_view module_list, std::string_view device_path);

// Unloads the phone's module (and no other device's) without blocking the
// main loop; every helper run is time-limited.
void release_phone_from_sound_server_async(const std::string& device_path);
// The same from a worker thread; returns when done or given up.
void release_phone_from_sound_server_sync(const std::string& device_path);
