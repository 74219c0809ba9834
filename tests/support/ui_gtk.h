// In-process GTK for window tests: one Xvfb and one registered application
// per test process, the main window built in a temporary working folder that
// is also HOME.
#pragma once
#include "harness.h"

#include <gtk/gtk.h>

#include <string>

namespace uitest {

// Starts Xvfb (once), points GDK at it and registers a non-unique
// GtkApplication; the calling thread becomes the main-loop owner.
GtkApplication* ensure_gtk();

void pump();   // pending main-loop work

// Working folder and HOME in a fresh temporary folder for the object's
// lifetime, with the XDG folders below it.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    th::TempDir dir;
    // Where the program keeps a file of that name.
    std::string config_file(const std::string& name) const { return dir.file(".config/telvane/" + name); }
    std::string data_file(const std::string& name) const { return dir.file(".local/share/telvane/" + name); }

private:
    std::string old_cwd_, old_home_, old_config_, old_data_;
};

// Builds the main window as the first activation does and shows it, waiting
// until it is on screen, then builds the tabs behind the first as the end of
// start-up does (unless later_pages is false); closing destroys it as the
// user's close would.
void open_main_window(bool later_pages = true);
void close_main_window();

}  // namespace uitest
