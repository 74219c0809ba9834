#include "ui/theme.h"

#include "base/log.h"

#include <gtk/gtk.h>

#include <initializer_list>

namespace {

struct Rule {
    const char* selector;
    std::initializer_list<const char*> properties;
};

// Load order matters: later rules win over earlier ones of equal weight.
const Rule kRules[] = {
    {"*", {"background-color: #161b22", "color: #c9d1d9"}},
    {"window", {"background: #0d1117"}},
    {"box", {"background: transparent"}},
    {"grid", {"background: transparent"}},
    {".title", {"font-size: 18px", "font-weight: bold", "color: #58a6ff"}},
    {".status-idle", {"color: #8b949e"}},
    {".status-discoverable", {"color: #58a6ff", "font-weight: bold"}},
    {".status-pairing", {"color: #d29922", "font-weight: bold"}},
    {".status-paired", {"color: #3fb950"}},
    {".status-connecting", {"color: #a371f7", "font-weight: bold"}},
    {".status-connected", {"color: #3fb950", "font-weight: bold"}},
    {".status-error", {"color: #f85149", "font-weight: bold"}},
    {"label", {"color: #c9d1d9", "background: transparent"}},
    {".info-label", {"color: #8b949e", "font-size: 12px"}},
    {".call-label", {"color: #ffffff", "font-size: 14px"}},
    {".call-ringing", {"color: #ffa657", "font-weight: bold", "font-size: 16px"}},
    {"notebook", {"background: #0d1117"}},
    {"notebook header", {"background: #21262d"}},
    {"notebook header tabs", {"background: #21262d"}},
    {"notebook stack", {"background: #0d1117"}},
    {"notebook tab", {"padding: 8px 16px", "background: #21262d", "color: #8b949e", "border: none"}},
    {"notebook tab:checked", {"background: #0d1117", "color: #58a6ff", "border-bottom: 2px solid #58a6ff"}},
    {"notebook tab:hover", {"color: #c9d1d9"}},
    {"scrolledwindow", {"background: #0d1117"}},
    {"scrolledwindow > viewport", {"background: #0d1117"}},
    {"viewport", {"background: #0d1117"}},
    {".list-view", {"background: #0d1117", "color: #c9d1d9"}},
    {".list-view:selected", {"background: #238636", "color: #ffffff"}},
    {"treeview", {"background: #0d1117", "color: #c9d1d9"}},
    {"treeview:selected", {"background: #238636", "color: #ffffff"}},
    {"treeview header", {"background: #21262d"}},
    {"treeview header button", {"background: #21262d", "color: #8b949e", "border: none", "padding: 8px"}},
    {"button",
     {"background: #21262d", "color: #c9d1d9", "border: 1px solid #30363d", "padding: 8px 14px",
      "border-radius: 6px"}},
    {"button:hover", {"background: #30363d", "border-color: #8b949e"}},
    {"button:disabled", {"background: #161b22", "color: #484f58", "border-color: #21262d"}},
    {".btn-start", {"background: #238636", "border-color: #2ea043", "color: white"}},
    {".btn-start:hover", {"background: #2ea043"}},
    {".btn-stop", {"background: #da3633", "border-color: #f85149", "color: white"}},
    {".btn-stop:hover", {"background: #f85149"}},
    {".btn-answer", {"background: #238636", "border-color: #2ea043", "color: white", "font-weight: bold"}},
    {".btn-answer:hover", {"background: #2ea043"}},
    {".btn-reject", {"background: #da3633", "border-color: #f85149", "color: white", "font-weight: bold"}},
    {".btn-reject:hover", {"background: #f85149"}},
    {".sync-btn", {"background: #1f6feb", "border-color: #388bfd", "color: white", "padding: 6px 12px"}},
    {".sync-btn:hover", {"background: #388bfd"}},
    {".dialpad-btn",
     {"font-size: 20px", "font-weight: bold", "background: #21262d", "color: #c9d1d9", "border-radius: 50%"}},
    {".dialpad-btn:hover", {"background: #30363d"}},
    {".dial-entry",
     {"font-size: 24px", "background: #0d1117", "color: #c9d1d9", "border: 1px solid #30363d",
      "border-radius: 6px"}},
    {"entry",
     {"background: #0d1117", "color: #c9d1d9", "border: 1px solid #30363d", "border-radius: 6px",
      "padding: 8px"}},
    {"entry:focus", {"border-color: #58a6ff"}},
    {".log-view",
     {"background: #0d1117", "color: #8b949e", "font-family: monospace", "font-size: 11px", "padding: 8px"}},
    {"textview", {"background: #0d1117", "color: #c9d1d9"}},
    {"textview text", {"background: #0d1117", "color: #c9d1d9"}},
};

void on_theme_parsing_error(GtkCssProvider*, GtkCssSection*, GError* error, gpointer)
{
    log_msgf("⚠️ Theme error: %s", error->message);
}

}  // namespace

std::string theme_css()
{
    std::string css;
    for (const Rule& rule : kRules) {
        css += rule.selector;
        css += " { ";
        for (const char* property : rule.properties) {
            css += property;
            css += "; ";
        }
        css += '}';
    }
    return css;
}

void install_theme()
{
    GtkCssProvider* provider = gtk_css_provider_new();
    g_signal_connect(provider, "parsing-error", G_CALLBACK(on_theme_parsing_error), nullptr);
    std::string css = theme_css();
    gtk_css_provider_load_from_data(provider, css.c_str(), static_cast<gssize>(css.size()), nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);

    // The sheet's "label" rule colours every label directly, so a disabled
    // button kept its bright text and looked pressable; dim it with its button.
    GtkCssProvider* dim = gtk_css_provider_new();
    static const char kDimDisabled[] = "button:disabled label { color: #484f58; }";
    gtk_css_provider_load_from_data(dim, kDimDisabled, -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(dim),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    g_object_unref(dim);
}
