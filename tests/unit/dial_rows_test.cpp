// A double click on a list row dials that row's number; an empty number
// does nothing. In process, with real tree views under Xvfb.
#include "connection/state.h"
#include "harness.h"
#include "ui_gtk.h"
#include "hfp/dial.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

namespace {

class DialRows : public testing::Test {
protected:
    void SetUp() override { uitest::ensure_gtk(); }
};

// Activates row `row` of a view over a store of `columns` strings and
// returns what dialling it logged.
std::string activate(int columns, const std::vector<std::vector<const char*>>& rows, int row,
                     void (*handler)(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer))
{
    std::vector<GType> types(static_cast<size_t>(columns), G_TYPE_STRING);
    GtkListStore* store = gtk_list_store_newv(columns, types.data());
    for (const auto& values : rows) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        for (int c = 0; c < columns; ++c)
            gtk_list_store_set(store, &iter, c, values[static_cast<size_t>(c)], -1);
    }
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_ref_sink(view);
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    testing::internal::CaptureStdout();
    handler(GTK_TREE_VIEW(view), path, nullptr, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    gtk_tree_path_free(path);
    g_object_unref(view);
    g_object_unref(store);
    return out;
}

TEST_F(DialRows, ContactsDialColumnOneRecentsColumnTwo)
{
    int saved = current_state.load();
    current_state = PAIRED;   // dialling stops at the connection check and says so
    const char* kNotConnected = "⚠️ Phone must be connected for call";

    std::vector<std::vector<const char*>> contacts = {{"Anna", "0301"}, {"Empty", ""}, {"Bob", "0302;x"}};
    EXPECT_NE(activate(2, contacts, 0, on_contact_row_activated).find(kNotConnected), std::string::npos);
    EXPECT_EQ(activate(2, contacts, 1, on_contact_row_activated), "");
    EXPECT_NE(activate(2, contacts, 2, on_contact_row_activated).find("⚠️ Number refused"), std::string::npos);
    EXPECT_EQ(activate(2, contacts, 7, on_contact_row_activated), "");   // no such row

    std::vector<std::vector<const char*>> recents = {{"📥", "Anna", "0301", "today"}, {"📤", "0302", "", "now"}};
    EXPECT_NE(activate(4, recents, 0, on_recent_row_activated).find(kNotConnected), std::string::npos);
    EXPECT_EQ(activate(4, recents, 1, on_recent_row_activated), "");   // only column 2 counts
    current_state = saved;
}

}  // namespace
