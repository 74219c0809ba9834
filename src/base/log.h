// The event log: one time-stamped line per event, on standard output at once
// and in the Log tab once the window exists. Safe from any thread.
#pragma once
#include <glib.h>

#include <atomic>
#include <ctime>
#include <string>

// Where each line goes besides standard output: the window's Log tab,
// installed once at start. Called on the logging thread.
using LogLineSink = void (*)(const std::string& line);
void set_log_line_sink(LogLineSink sink);

void log_msg(const char* message);
void log_msgf(const char* fmt, ...) G_GNUC_PRINTF(1, 2);

// Main-loop idle callback; takes ownership of a g_malloc'ed text.
gboolean lambda_log(gpointer message);

// For worker threads that want their line logged from the main loop.
void post_log(const char* message);
void post_logf(const char* fmt, ...) G_GNUC_PRINTF(1, 2);

// "[%H:%M:%S] message\n", at most 511 bytes: the message is cut on a
// character boundary and the newline kept.
std::string format_log_line(const std::tm& local_time, const char* message);
