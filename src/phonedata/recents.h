// The phone's call history: download, cache and the Recent Calls list.
#pragma once
#include <glib.h>
#include <gtk/gtk.h>

#include <atomic>

struct RecentEntry {
    char type[24];
    char name[128];
    char number[64];
    char time[64];
    char sort_key[20];
};

extern std::atomic<int> syncing_recents;
extern int recent_count;

void load_recents_csv();
void save_recents_csv();
gpointer sync_recents_thread(gpointer);
void on_sync_recents_clicked(GtkButton*, gpointer);
