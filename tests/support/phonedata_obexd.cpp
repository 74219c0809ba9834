#include "phonedata_obexd.h"

#include <signal.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace th {

FakeObexd::FakeObexd(DbusDaemon& session_bus, const std::string& dir)
    : bus_(session_bus), dir_(dir), config_path_(dir + "/fake_obexd.json"), log_path_(dir + "/fake_obexd.calls")
{
    write_file(config_path_, "{}");
    write_file(log_path_, "");
    start();
}

void FakeObexd::start()
{
    process_ = new Process({"/usr/bin/python3", TELVANE_SOURCE_DIR "/tools/fake-obexd/fake_obexd.py", config_path_,
                            log_path_, dir_},
                           {{"DBUS_SESSION_BUS_ADDRESS", bus_.address()}}, "", dir_ + "/fake_obexd.log");
    if (!bus_.wait_for_name("org.bluez.obex")) {
        delete process_;
        process_ = nullptr;
        throw std::runtime_error("simulated obexd did not start");
    }
}

void FakeObexd::kill()
{
    if (process_)
        ::kill(-process_->pid(), SIGKILL);
    delete process_;
    process_ = nullptr;
}

FakeObexd::~FakeObexd() { delete process_; }

void FakeObexd::configure(const std::string& json)
{
    // Written whole and renamed, so the daemon never reads half a file.
    write_file(config_path_ + ".new", json);
    std::rename((config_path_ + ".new").c_str(), config_path_.c_str());
}

std::vector<std::string> FakeObexd::calls() const { return read_lines(log_path_); }

int FakeObexd::count(const std::string& method) const
{
    int n = 0;
    for (const auto& call : calls())
        if (call.find("\"method\": \"" + method + "\"") != std::string::npos)
            ++n;
    return n;
}

std::string phonedata_fixture(const std::string& name)
{
    return std::string(TELVANE_SOURCE_DIR) + "/tests/data/phonedata/" + name;
}

std::string generated_vcards(int n, const std::string& name_prefix)
{
    std::string out;
    char buf[512];
    for (int i = 1; i <= n; ++i) {
        std::snprintf(buf, sizeof buf,
                      "BEGIN:VCARD\r\nVERSION:2.1\r\nN:;%s%04d;;;\r\nFN:%s%04d\r\n"
                      "TEL;CELL:+49170%06d\r\nEND:VCARD\r\n",
                      name_prefix.c_str(), i, name_prefix.c_str(), i, i);
        out += buf;
    }
    return out;
}

}  // namespace th
