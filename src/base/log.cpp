#include "base/log.h"

#include "core/text.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
constexpr size_t kMaxLine = 511;
std::mutex stdout_mutex;   // one line at a time on stdout
// Set at start-up on the main thread (the Log tab); any thread calls it (atomic).
std::atomic<LogLineSink> line_sink{nullptr};
}

void set_log_line_sink(LogLineSink sink) { line_sink = sink; }

std::string format_log_line(const std::tm& local_time, const char* message)
{
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "[%H:%M:%S]", &local_time);
    std::string line = stamp;
    line += ' ';
    line += message ? message : "";
    // A cut line keeps its newline, or the next line would be glued to it.
    if (line.size() + 1 > kMaxLine)
        line.resize(utf8_cut_len(line, kMaxLine - 1));
    line += '\n';
    return line;
}

void log_msg(const char* message)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string line = format_log_line(local, message);
    {
        // One write per line, so lines of concurrent callers never interleave.
        std::lock_guard<std::mutex> lock(stdout_mutex);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    if (LogLineSink sink = line_sink.load())
        sink(line);
}

void log_msgf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    gchar* text = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    log_msg(text);
    g_free(text);
}

gboolean lambda_log(gpointer message)
{
    log_msg(static_cast<const char*>(message));
    g_free(message);
    return G_SOURCE_REMOVE;
}

void post_log(const char* message)
{
    g_idle_add(lambda_log, g_strdup(message ? message : ""));
}

void post_logf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    gchar* text = g_strdup_vprintf(fmt, ap);
    va_end(ap);
    g_idle_add(lambda_log, text);
}
