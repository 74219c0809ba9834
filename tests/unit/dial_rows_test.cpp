// Dialling from a number or a list row: numbers that could inject AT commands
// are refused before anything else happens (that they never reach the phone
// is checked end to end), a double click dials the row's number column.
#include "connection/state.h"
#include "ui_gtk.h"
#include "hfp/dial.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

namespace {

const char* const kNotConnected = "⚠️ Phone must be connected for call";

std::string dial_and_capture(const std::string& number)
{
    testing::internal::CaptureStdout();
    dial_number(number.c_str());
    return testing::internal::GetCapturedStdout();
}

TEST(DialRefusal, ControlCharactersSemicolonsAndOverlongNumbersAreRefused)
{
    current_state = PAIRED;   // an accepted number stops at the connection check
    for (const std::string& bad : {std::string("0301\rAT+CHUP"), std::string("0301\nATA"), std::string("0301;"),
                                   std::string("03\x01" "01"), std::string("1\t2"), std::string("1\x7f"),
                                   std::string("\x1b"), std::string(123, '1')}) {
        std::string out = dial_and_capture(bad);
        EXPECT_NE(out.find("⚠️ Number refused"), std::string::npos) << out;
        EXPECT_EQ(out.find("Phone must be connected"), std::string::npos) << out;
        EXPECT_EQ(out.find('\r'), std::string::npos) << "the refusal shows control characters escaped";
    }
    for (const std::string& good :
         {std::string("+49 (30) 123-45"), std::string("*31#0301234"), std::string("Ünïcödé"), std::string(122, '1')})
        EXPECT_NE(dial_and_capture(good).find(kNotConnected), std::string::npos) << good;
    EXPECT_NE(dial_and_capture("").find("⚠️ Number empty"), std::string::npos);
}

// Activates row `row` of a view over a store of strings and returns what dialling it logged.
std::string activate(const std::vector<std::vector<const char*>>& rows, int row,
                     void (*handler)(GtkTreeView*, GtkTreePath*, GtkTreeViewColumn*, gpointer))
{
    int columns = int(rows[0].size());
    std::vector<GType> types(rows[0].size(), G_TYPE_STRING);
    GtkListStore* store = gtk_list_store_newv(columns, types.data());
    for (const auto& values : rows) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        for (int c = 0; c < columns; ++c)
            gtk_list_store_set(store, &iter, c, values[size_t(c)], -1);
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

TEST(DialRows, ContactsDialColumnOneRecentsColumnTwo)
{
    uitest::ensure_gtk();
    current_state = PAIRED;   // dialling stops at the connection check and says so
    std::vector<std::vector<const char*>> contacts = {{"Anna", "0301"}, {"Empty", ""}, {"Bob", "0302;x"}};
    EXPECT_NE(activate(contacts, 0, on_contact_row_activated).find(kNotConnected), std::string::npos);
    EXPECT_EQ(activate(contacts, 1, on_contact_row_activated), "");
    EXPECT_NE(activate(contacts, 2, on_contact_row_activated).find("⚠️ Number refused"), std::string::npos);
    EXPECT_EQ(activate(contacts, 7, on_contact_row_activated), "");   // no such row

    std::vector<std::vector<const char*>> recents = {{"📥", "Anna", "0301", "today"}, {"📤", "0302", "", "now"}};
    EXPECT_NE(activate(recents, 0, on_recent_row_activated).find(kNotConnected), std::string::npos);
    EXPECT_EQ(activate(recents, 1, on_recent_row_activated), "");   // only column 2 counts
}

}  // namespace
