#include "app/log.h"

#include "app/text.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

std::atomic<GtkTextBuffer*> log_buffer{nullptr};
std::atomic<GtkWidget*> log_view{nullptr};

namespace {
constexpr size_t kMaxLine = 511;
// The Log tab of a program that runs all day keeps only the recent past.
constexpr int kMaxViewLines = 5000;
std::mutex stdout_mutex;
}

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
    if (log_buffer.load())
        g_idle_add(append_log_ui, g_strndup(line.data(), line.size()));
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

gboolean append_log_ui(gpointer text)
{
    GtkTextBuffer* buffer = log_buffer.load();
    if (buffer) {
        GtkTextIter end;
        gtk_text_buffer_get_end_iter(buffer, &end);
        gtk_text_buffer_insert(buffer, &end, static_cast<const char*>(text), -1);
        // The last line is the empty one after the final newline.
        int excess = gtk_text_buffer_get_line_count(buffer) - 1 - kMaxViewLines;
        if (excess > 0) {
            GtkTextIter start, cut;
            gtk_text_buffer_get_start_iter(buffer, &start);
            gtk_text_buffer_get_iter_at_line(buffer, &cut, excess);
            gtk_text_buffer_delete(buffer, &start, &cut);
        }
        if (GtkWidget* view = log_view.load())
            gtk_text_view_scroll_to_mark(GTK_TEXT_VIEW(view), gtk_text_buffer_get_insert(buffer),
                                         0.0, TRUE, 0.0, 1.0);
    }
    g_free(text);
    return G_SOURCE_REMOVE;
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
