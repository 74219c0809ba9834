// The program's own reset of its state (store/reset.h), with what belongs to
// the window and the command line, run around every test of a test binary
// that links this support library, so that tests pass in any order and in
// one process (CI runs the unit tests shuffled to keep it so). Widget
// globals are not touched: the tests that build widgets own them.
#include "harness.h"
#include "ui_gtk.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "app/app.h"
#include "core/text.h"
#include "base/workers.h"
#include "connection/adapter.h"
#include "store/phone_record.h"
#include "store/connection_state.h"
#include "audio/call_volume.h"
#include "core/at.h"
#include "hfp/call_state.h"
#include "store/call_display.h"
#include "hfp/hfp.h"
#include "connection/profile.h"
#include "store/reconnect.h"
#include "phonedata/obex.h"
#include "phonedata/phonebook.h"
#include "phonedata/recents.h"
#include "store/phone_data.h"
#include "ui/settings.h"
#include "store/reset.h"
#include "ui/render.h"
#include "ui/window.h"
#include "hfp/indicator_map.h"

namespace th {

void reset_program_state()
{
    ::reset_program_state();
    pending_uri_arg[0] = '\0';
    install_window_renderer();
    settings_to_globals(Settings{});
}

void settle_program_state()
{
    if (!g_main_context_acquire(nullptr))
        return;
    // Threads a test started (listener, dial, voice, phone-data workers) end
    // here, so none of them writes into the next test's state.
    cleanup_connection(nullptr, true);
    if (!pending_search_text().empty())
        search_phonebook(nullptr);
    wait_until([] { return syncing_contacts.load() == 0 && syncing_recents.load() == 0; }, 30000);
    join_workers();   // as the program's exit does
    uitest::pump();
    uitest::close_main_window();
    forget_window_widgets();   // and those a test made without a window
    g_main_context_release(nullptr);
}

namespace {

// A sanitizer report in the product fails the test that ran it.
void check_telvane_run(const std::string& err)
{
    for (const char* marker : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer",
                               "WARNING: ThreadSanitizer"}) {
        if (err.find(marker) != std::string::npos) {
            ADD_FAILURE() << "sanitizer report from telvane:\n" << err;
            return;
        }
    }
    // The warnings GTK or GLib printed often explain a failed wait.
    if (::testing::Test::HasFailure() && !err.empty())
        std::fprintf(stderr, "telvane's standard error:\n%s\n",
                     err.substr(err.size() > 4000 ? err.size() - 4000 : 0).c_str());
}

class ResetBeforeEachTest : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { reset_program_state(); }
    void OnTestEnd(const testing::TestInfo&) override { settle_program_state(); }
};

const bool registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new ResetBeforeEachTest);
    on_telvane_stopped = check_telvane_run;
    return true;
}();

}  // namespace

}  // namespace th
