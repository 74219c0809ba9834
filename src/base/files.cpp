#include "base/files.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

bool write_file_atomically(const char* path, std::string_view content, std::string* why)
{
    // The folders under the user's XDG base folders may not exist yet.
    gchar* folder = g_path_get_dirname(path);
    int made = g_mkdir_with_parents(folder, 0700);
    int made_errno = errno;
    g_free(folder);
    if (made != 0) {
        if (why)
            *why = g_strerror(made_errno);
        return false;
    }
    GError* error = nullptr;
    gboolean ok = g_file_set_contents_full(
        path, content.data(), static_cast<gssize>(content.size()),
        static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE), 0600,
        &error);
    if (!ok && why)
        *why = error ? error->message : "unknown error";
    g_clear_error(&error);
    return ok;
}

bool read_regular_file(const char* path, std::string* why, const std::function<bool(const char*, size_t)>& take)
{
    why->clear();
    // Non-blocking so a FIFO in the file's place cannot hang us; only a
    // regular file is read (a folder or a device is refused).
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            *why = g_strerror(errno);
        return false;
    }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? "a folder is in its place" : "not a regular file";
        close(fd);
        return false;
    }
    char chunk[65536];
    while (true) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = g_strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0 || !take(chunk, size_t(n)))
            break;
    }
    close(fd);
    return true;
}

bool read_regular_file(const char* path, size_t max_bytes, std::string* out, std::string* why)
{
    out->clear();
    return read_regular_file(path, why, [&](const char* data, size_t n) {
        out->append(data, std::min(n, max_bytes - out->size()));
        return out->size() < max_bytes;
    });
}
