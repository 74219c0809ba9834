// A connected phone and the real binary wired to a given sound server, ready
// to carry a call's voice: the simulated phone behind the socket shim on one
// side, PULSE_SERVER on the other.
#pragma once
#include "harness.h"
#include "simphone.h"

#include <memory>
#include <string>

namespace th {

struct AudioCallWorld {
    explicit AudioCallWorld(const std::string& pulse_server);
    // Dials through a second launch, as a tel: link would, and lets the
    // phone report the call active. Returns the phone's end of the voice
    // link, or -1 when none came within sco_timeout_ms.
    int start_call(int sco_timeout_ms = 15000);
    void end_call();
    std::string out() const { return app->output(); }

    TestWorld world;
    TempDir shim;
    sim::SimPhone phone;
    Env env;
    std::unique_ptr<Telvane> app;
};

}  // namespace th
