#include "ui/log_view.h"

#include "base/log.h"

#include <string>

std::atomic<GtkTextBuffer*> log_buffer{nullptr};
std::atomic<GtkWidget*> log_view{nullptr};

namespace {

// The Log tab of a program that runs all day keeps only the recent past.
constexpr int kMaxViewLines = 5000;

// Any thread: the tab is written on the main loop.
void post_line(const std::string& line)
{
    if (log_buffer.load())
        g_idle_add(append_log_ui, g_strndup(line.data(), line.size()));
}

}  // namespace

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

void install_log_tab() { set_log_line_sink(post_line); }
