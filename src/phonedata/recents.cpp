#include "phonedata/recents.h"

#include "app/log.h"

std::atomic<int> syncing_recents{0};
int recent_count = 0;

void load_recents_csv() {}
void save_recents_csv() {}
gpointer sync_recents_thread(gpointer) { return nullptr; }
void on_sync_recents_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Recent calls are not available yet"); }
