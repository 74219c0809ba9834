// The window's side of the state's changes: each is rendered from the
// state into the widgets there are (none before the window is built).
#pragma once

// Main thread, once at start, before anything can change.
void install_window_renderer();
