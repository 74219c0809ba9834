#include "audio_call_world.h"

namespace th {

namespace {
const std::string kAddr = "00:11:22:33:44:55";
}

AudioCallWorld::AudioCallWorld(const std::string& pulse_server) : phone(shim.path(), kAddr)
{
    phone.serve_hfp(5);
    phone.listen_sco();
    phone.set_sco_mtu(48);
    world.bluez->add_device(kAddr, "Sim Phone");
    world.bluez->pair_device(kAddr);
    world.bluez->connect_device(kAddr);
    env = sim::shim_env(shim.path());
    env["PULSE_SERVER"] = pulse_server;
    app = std::make_unique<Telvane>(world, std::vector<std::string>{}, env);
}

int AudioCallWorld::start_call(int sco_timeout_ms)
{
    if (!app->wait_for_output("✓ Incoming call listener ready", 20000))
        return -1;
    Telvane second(world, {"tel:0301234567"}, env, "second.out");
    second.wait_exit(15000);
    int fd = phone.accept_sco(sco_timeout_ms);
    phone.set_indicator("call", 1, true);
    phone.set_indicator("callsetup", 0, true);
    return fd;
}

void AudioCallWorld::end_call() { phone.set_indicator("call", 0, true); }

}  // namespace th
