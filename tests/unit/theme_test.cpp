// The dark theme: a property GTK cannot parse would silently fall back to the
// light default look.
#include "ui_gtk.h"

#include "ui/theme.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Theme, GtkParsesEveryRuleWithoutError)
{
    uitest::ensure_gtk();
    std::string css = theme_css();
    EXPECT_NE(css.find(".btn-reject {"), std::string::npos);
    std::vector<std::string> errors;
    GtkCssProvider* provider = gtk_css_provider_new();
    g_signal_connect(provider, "parsing-error", G_CALLBACK(+[](GtkCssProvider*, GtkCssSection* section, GError* error,
                                                                 gpointer out) {
        static_cast<std::vector<std::string>*>(out)->push_back(
            "line " + std::to_string(gtk_css_section_get_start_line(section)) + ": " + error->message);
    }), &errors);
    EXPECT_TRUE(gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr));
    g_object_unref(provider);
    EXPECT_TRUE(errors.empty()) << errors.front();
}

}  // namespace
