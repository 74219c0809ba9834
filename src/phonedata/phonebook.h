// The phone's contacts: download, cache, and name lookup for calls.
#pragma once
#include <glib.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cstddef>

struct Contact {
    char name[128];
    char number[64];
};

extern std::atomic<int> phonebook_loaded;
extern std::atomic<int> syncing_contacts;

void load_contacts_csv();
void save_contacts_csv();
gpointer load_phonebook_thread(gpointer);
gboolean phonebook_load_complete_cb(gpointer result);
void on_refresh_phonebook_clicked(GtkButton*, gpointer);
// Starts the one-time download on entering CONNECTED (sets syncing_contacts).
void start_phonebook_preload();

// Name of the first contact whose number equals number byte for byte (dialled numbers).
bool phonebook_name_exact(const char* number, char* name_out, size_t name_size);
// Name of the first contact whose number matches a caller's number (digits only, last 10).
bool phonebook_name_for_caller(const char* number, char* name_out, size_t name_size);
