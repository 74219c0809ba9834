// What the program knows about the one phone, and the operations on it.
#pragma once
#include "connection/state.h"

#include <gtk/gtk.h>

#include <atomic>
#include <cstdint>
#include <string>

extern char adapter_path[256];
extern char device_path[256];
extern char device_addr[18];
extern char device_name[248];
extern std::atomic<int> device_paired;
extern std::atomic<uint8_t> hfp_channel;
extern std::atomic<int> auto_connect_in_progress;

// While true the adapter is discoverable and the agent answers: from a
// successful Start until Stop or the 3-minute limit.
extern std::atomic<bool> discoverable_session;

// device_addr and device_path belong to the main thread, which changes them
// as phones come and go. A worker thread is handed a copy when it starts and
// keeps it: it talks to the phone it was started for. this_phone is the copy
// to hand a new thread; adopt_phone takes the calling thread's own copy;
// phone_addr and phone_path read it, or the globals on a thread that was
// handed none (the main thread).
struct PhoneRef {
    std::string addr;
    std::string path;
};
PhoneRef this_phone();
void adopt_phone(const PhoneRef& phone);
const char* phone_addr();
const char* phone_path();

// Both report whether every setting was taken.
bool set_adapter_property(const char* name, GVariant* value);
bool make_discoverable(bool on);
// Ends a discoverable session (our time limit, or BlueZ ending it); why
// completes the log line. Main thread.
void discoverability_ended(const char* why);
// The adapter's object went away (unplugged, or BlueZ stopped).
void adapter_removed();
void get_device_info(const char* path);
// Thread body of "auto_connect"; takes ownership of a g_strdup'ed device path.
gpointer connect_thread(gpointer path_copy);
// Starts "auto_connect" for device_path (the caller has set
// auto_connect_in_progress); a thread that cannot start reports failure.
bool start_auto_connect();
gboolean connect_complete_cb(gpointer succeeded);
void cleanup_connection(const char* message, bool forget_phone);
// Where the program rests when no phone link is up: DISCOVERABLE during a
// discoverable session, else PAIRED with a paired phone, else IDLE.
AppState resting_state();

void on_start_clicked(GtkButton*, gpointer);
void on_stop_clicked(GtkButton*, gpointer);
void on_disconnect_clicked(GtkButton*, gpointer);
