#include "hfp/indicator_map.h"

#include <mutex>

namespace {

std::mutex indicator_mutex;
IndicatorMap indicator_map;   // guarded by indicator_mutex; set by the handshake (link reader)

}  // namespace

IndicatorMap hfp_indicator_map()
{
    std::lock_guard<std::mutex> lock(indicator_mutex);
    return indicator_map;
}

void hfp_set_indicator_map(const IndicatorMap& map)
{
    std::lock_guard<std::mutex> lock(indicator_mutex);
    indicator_map = map;
}
