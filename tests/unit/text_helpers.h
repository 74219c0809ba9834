// Test strings, and what the user reads from in-process list stores and the Log tab.
#pragma once
#include <gtk/gtk.h>

#include <string>

namespace unit {

inline std::string repeat(const std::string& s, int n)
{
    std::string out;
    while (n-- > 0)
        out += s;
    return out;
}

// Out of line: GCC 12 warns falsely about string concatenation inlined here.
[[gnu::noinline]] inline std::string cat(std::string a, const std::string& b, const std::string& c = "")
{
    return a.append(b).append(c);
}

// One column of every row, each followed by "|".
inline std::string store_column(GtkListStore* store, int column)
{
    std::string out;
    GtkTreeIter iter;
    for (gboolean ok = gtk_tree_model_get_iter_first(GTK_TREE_MODEL(store), &iter); ok;
         ok = gtk_tree_model_iter_next(GTK_TREE_MODEL(store), &iter)) {
        gchar* text = nullptr;
        gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, column, &text, -1);
        out += std::string(text ? text : "") + "|";
        g_free(text);
    }
    return out;
}

inline std::string buffer_text(GtkTextBuffer* buffer)
{
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    std::string out = text;
    g_free(text);
    return out;
}

}  // namespace unit
