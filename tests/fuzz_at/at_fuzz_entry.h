// One fuzz input through the AT splitter, classifier and indicator-list
// parser. Returns false when an invariant breaks.
#pragma once
#include <cstddef>
#include <cstdint>

bool at_fuzz_one(const uint8_t* data, size_t size);
