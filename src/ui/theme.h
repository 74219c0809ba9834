// The dark theme of the main window.
#pragma once
#include <string>

// The whole style sheet as one string: every rule "selector { prop; prop; }",
// rules concatenated in load order.
std::string theme_css();

// Loads the style sheet for the default screen at application priority.
void install_theme();
