// The program's own files (app/paths.h) and the autostart entry:
// read without ever blocking on a pipe, replaced whole or not at all.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Replaces path with content through a temporary file in the same folder and
// a rename, so the old content stays whole when the write cannot complete.
// Missing folders above it are made first (0700).
// The file is the user's alone (0600): contacts, call history and settings
// are nobody else's business. On failure *why (when given) says what went wrong.
bool write_file_atomically(const char* path, std::string_view content, std::string* why = nullptr);

// Hands take() the bytes of path in chunks (it returns false to stop) when a
// regular file is in its place. False with *why empty when there is no file;
// false with *why set when something is there that cannot be read.
bool read_regular_file(const char* path, std::string* why, const std::function<bool(const char*, size_t)>& take);
// The same into *out, at most max_bytes of it.
bool read_regular_file(const char* path, size_t max_bytes, std::string* out, std::string* why);
