// The dark theme: one string of 53 rules that GTK accepts whole; a property
// GTK cannot parse would silently fall back to the light default look.
#include "ui_gtk.h"

#include "ui/theme.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

void collect_error(GtkCssProvider*, GtkCssSection* section, GError* error, gpointer errors)
{
    static_cast<std::vector<std::string>*>(errors)->push_back(
        "line " + std::to_string(gtk_css_section_get_start_line(section)) + ": " + error->message);
}

TEST(Theme, IsOneStringOfRulesThatGtkParsesWithoutError)
{
    uitest::ensure_gtk();
    std::string css = theme_css();
    EXPECT_EQ(css.rfind("* { background-color: #161b22; color: #c9d1d9; }window { background: #0d1117; }", 0), 0u)
        << css.substr(0, 120);
    EXPECT_TRUE(css.ends_with("}textview text { background: #0d1117; color: #c9d1d9; }"));
    EXPECT_EQ(std::count(css.begin(), css.end(), '}'), 53);
    EXPECT_EQ(css.find('\n'), std::string::npos);
    EXPECT_NE(css.find(".btn-reject { background: #da3633; border-color: #f85149; color: white; font-weight: bold; }"),
              std::string::npos);

    std::vector<std::string> errors;
    GtkCssProvider* provider = gtk_css_provider_new();
    g_signal_connect(provider, "parsing-error", G_CALLBACK(collect_error), &errors);
    EXPECT_TRUE(gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr));
    g_object_unref(provider);
    EXPECT_TRUE(errors.empty()) << errors.front();
}

}  // namespace
