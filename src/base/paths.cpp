#include "base/paths.h"

#include "base/files.h"
#include "base/log.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

namespace {

constexpr const char* kFolderName = "telvane";

// The XDG rule: an unset, empty or relative value is ignored.
std::string base_folder(const char* variable, const char* under_home)
{
    const char* value = g_getenv(variable);
    if (value && g_path_is_absolute(value))
        return value;
    const char* home = g_getenv("HOME");
    if (!home || !*home)
        home = g_get_home_dir();
    return std::string(home) + under_home;
}

struct OldFile {
    const char* name;
    std::string (*target)();
    const char* first_line;   // how our file begins; settings have none of their own
};

bool looks_like_ours(const OldFile& file, std::string_view head)
{
    if (file.first_line)
        return head.substr(0, head.find('\n')) == file.first_line;
    return head.find("\"col_recent_type\"") != std::string_view::npos ||
           head.find("\"col_contacts_name\"") != std::string_view::npos;
}

bool newer(const struct stat& a, const struct stat& b)
{
    if (a.st_mtim.tv_sec != b.st_mtim.tv_sec)
        return a.st_mtim.tv_sec > b.st_mtim.tv_sec;
    return a.st_mtim.tv_nsec > b.st_mtim.tv_nsec;
}

// A name beside path that nothing holds yet.
std::string free_older_name(const std::string& path)
{
    std::string name = path + ".older";
    for (int i = 1; g_file_test(name.c_str(), G_FILE_TEST_EXISTS) || g_file_test(name.c_str(), G_FILE_TEST_IS_SYMLINK);
         ++i)
        name = path + ".older." + std::to_string(i);
    return name;
}

// rename(), or a copy and unlink across file systems; the source stays
// unless its bytes are safely at the target.
bool move_file(const std::string& from, const std::string& to, std::string* why)
{
    if (rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (errno != EXDEV) {
        *why = g_strerror(errno);
        return false;
    }
    std::string data;
    if (!read_regular_file(from.c_str(), 64u << 20, &data, why))
        return false;
    if (!write_file_atomically(to.c_str(), data, why))
        return false;
    unlink(from.c_str());
    return true;
}

void move_one(const OldFile& file, const std::string& cwd)
{
    std::string from = cwd + "/" + file.name;
    std::string to = file.target();
    struct stat from_st{}, to_st{};
    if (lstat(from.c_str(), &from_st) != 0 || !S_ISREG(from_st.st_mode))
        return;
    bool target_there = stat(to.c_str(), &to_st) == 0;
    if (target_there && to_st.st_dev == from_st.st_dev && to_st.st_ino == from_st.st_ino)
        return;   // started in the folder itself
    std::string head, why;
    if (!read_regular_file(from.c_str(), 4096, &head, &why)) {
        log_msgf("⚠️ %s not moved to %s: %s", from.c_str(), to.c_str(), why.empty() ? "gone" : why.c_str());
        return;
    }
    if (!looks_like_ours(file, head))
        return;
    if (g_mkdir_with_parents(std::string(to, 0, to.rfind('/')).c_str(), 0700) != 0) {
        log_msgf("⚠️ %s not moved to %s: %s", from.c_str(), to.c_str(), g_strerror(errno));
        return;
    }
    if (!target_there) {
        if (move_file(from, to, &why))
            log_msgf("📂 %s moved to %s", from.c_str(), to.c_str());
        else
            log_msgf("⚠️ %s not moved to %s: %s", from.c_str(), to.c_str(), why.c_str());
        return;
    }
    std::string older = free_older_name(to);
    if (!newer(from_st, to_st)) {
        if (move_file(from, older, &why))
            log_msgf("📂 %s is older than %s: kept as %s", from.c_str(), to.c_str(), older.c_str());
        else
            log_msgf("⚠️ %s not moved to %s: %s", from.c_str(), older.c_str(), why.c_str());
        return;
    }
    if (rename(to.c_str(), older.c_str()) != 0) {
        log_msgf("⚠️ %s not moved to %s: %s", from.c_str(), to.c_str(), g_strerror(errno));
        return;
    }
    if (!move_file(from, to, &why)) {
        rename(older.c_str(), to.c_str());
        log_msgf("⚠️ %s not moved to %s: %s", from.c_str(), to.c_str(), why.c_str());
        return;
    }
    log_msgf("📂 %s moved to %s; the older one there kept as %s", from.c_str(), to.c_str(), older.c_str());
}

}  // namespace

std::string config_home() { return base_folder("XDG_CONFIG_HOME", "/.config"); }
std::string config_folder() { return config_home() + "/" + kFolderName; }
std::string data_folder() { return base_folder("XDG_DATA_HOME", "/.local/share") + "/" + kFolderName; }
std::string settings_path() { return config_folder() + "/settings.json"; }
std::string contacts_path() { return data_folder() + "/contacts.csv"; }
std::string recents_path() { return data_folder() + "/recents.csv"; }

void move_files_from_working_folder()
{
    gchar* cwd = g_get_current_dir();
    const OldFile files[] = {
        {"settings.json", settings_path, nullptr},
        {"contacts.csv", contacts_path, "name,number"},
        {"recents.csv", recents_path, "type,name,number,time"},
    };
    for (const OldFile& file : files)
        move_one(file, cwd);
    g_free(cwd);
}
