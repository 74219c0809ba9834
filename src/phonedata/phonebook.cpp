#include "phonedata/phonebook.h"

#include "app/log.h"

std::atomic<int> phonebook_loaded{0};
std::atomic<int> syncing_contacts{0};

void load_contacts_csv() {}
void save_contacts_csv() {}
gpointer load_phonebook_thread(gpointer) { return nullptr; }
gboolean phonebook_load_complete_cb(gpointer) { return G_SOURCE_REMOVE; }
void on_refresh_phonebook_clicked(GtkButton*, gpointer) { log_msg("ℹ️ Contacts are not available yet"); }
void start_phonebook_preload() {}
bool phonebook_name_exact(const char*, char*, size_t) { return false; }
bool phonebook_name_for_caller(const char*, char*, size_t) { return false; }
