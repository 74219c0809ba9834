// The simulated obexd for phone-data tests, and vCard fixtures.
#pragma once
#include "harness.h"

#include <string>
#include <vector>

namespace th {

// tools/fake-obexd/fake_obexd.py on a private session bus, steered through a
// JSON file and recording every call it receives.
class FakeObexd {
public:
    FakeObexd(DbusDaemon& session_bus, const std::string& dir);
    ~FakeObexd();
    FakeObexd(const FakeObexd&) = delete;
    FakeObexd& operator=(const FakeObexd&) = delete;

    // Replaces the behaviour (a JSON object, see fake_obexd.py).
    void configure(const std::string& json);
    // Calls received so far, one JSON object each.
    std::vector<std::string> calls() const;
    int count(const std::string& method) const;
    bool running() { return process_ && process_->running(); }
    // Kills the daemon at once, as a crash would; start() brings it back
    // with the same behaviour and call record.
    void kill();
    void start();

private:
    DbusDaemon& bus_;
    std::string dir_;
    std::string config_path_;
    std::string log_path_;
    Process* process_ = nullptr;
};

// Path of a hand-written vCard fixture under tests/data/phonedata.
std::string phonedata_fixture(const std::string& name);
// n generated cards "Contact 0001" with number "+4917000001", Android style.
std::string generated_vcards(int n, const std::string& name_prefix = "Contact ");

}  // namespace th
