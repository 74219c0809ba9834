// vCard fixtures for phone-data tests; the stand-in obexd itself is in
// tools/world/buses.h.
#pragma once
#include "harness.h"

#include <string>
#include <vector>

namespace th {

// Path of a hand-written vCard fixture under tests/data/phonedata.
std::string phonedata_fixture(const std::string& name);
// n generated cards "Contact 0001" with number "+4917000001", Android style.
std::string generated_vcards(int n, const std::string& name_prefix = "Contact ");

}  // namespace th
