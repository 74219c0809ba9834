// The call area's volume controls: the speaker and the microphone, in the
// phone's gains (0..15), kept in step with the phone's own volume keys.
#pragma once
#include <gtk/gtk.h>

void build_call_volume_area(GtkWidget* main_box);
// Main loop: the phone changed a gain; the controls follow.
gboolean call_volume_changed_cb(gpointer);
