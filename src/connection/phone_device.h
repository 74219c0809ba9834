// Which BlueZ device may be "the phone": a keyboard, a headset or a device
// of another adapter must never be taken for it.
#pragma once
#include <gio/gio.h>

// Device1 properties (a{sv}): the phone offers the hands-free audio gateway;
// before BlueZ knows its services, its class of device says phone.
bool properties_say_phone(GVariant* device_properties);

// object_path is a device below adapter_path.
bool on_adapter(const char* object_path, const char* adapter_path);

// Both checks for a live object, asking BlueZ for its properties (main thread).
bool device_is_phone(const char* object_path);
