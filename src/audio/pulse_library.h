// libpulse, loaded for the first call's sound instead of at start: with the
// libraries it pulls in (libsndfile and its codecs) it was twelve of the 86
// the program mapped before its window could show, and only a call uses it.
#pragma once
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <string>

#define TELVANE_PULSE_FUNCTIONS(X)                                                                                    \
    X(pa_strerror)                                                                                                   \
    X(pa_mainloop_new) X(pa_mainloop_free) X(pa_mainloop_get_api) X(pa_mainloop_prepare) X(pa_mainloop_poll)         \
    X(pa_mainloop_dispatch)                                                                                          \
    X(pa_context_new) X(pa_context_unref) X(pa_context_connect) X(pa_context_disconnect) X(pa_context_get_state)     \
    X(pa_context_set_state_callback) X(pa_context_errno)                                                             \
    X(pa_proplist_new) X(pa_proplist_sets) X(pa_proplist_free)                                                       \
    X(pa_stream_new_with_proplist) X(pa_stream_unref) X(pa_stream_set_state_callback) X(pa_stream_get_state)         \
    X(pa_stream_set_underflow_callback)                                                                              \
    X(pa_stream_connect_playback) X(pa_stream_connect_record) X(pa_stream_disconnect) X(pa_stream_write)             \
    X(pa_stream_peek) X(pa_stream_drop) X(pa_stream_get_latency) X(pa_stream_drain)                                  \
    X(pa_operation_cancel) X(pa_operation_unref)

struct PulseLibrary {
#define TELVANE_PULSE_FIELD(name) decltype(&::name) name;
    TELVANE_PULSE_FUNCTIONS(TELVANE_PULSE_FIELD)
#undef TELVANE_PULSE_FIELD
};

// Loads libpulse once, in whichever thread asks first; null when it cannot
// be loaded, with the reason in *why. Any thread.
const PulseLibrary* pulse_library(std::string* why = nullptr);
