#pragma once

#include <cstdint>
#include <map>

#include "book/level_queue.hpp"

namespace kestrova {

// Resting orders of one side: price in ticks -> arrival-ordered queue, front
// first. A queue in the map is never empty. begin() and rbegin() of std::map
// are constant time, so the best level of either side is too.
using PriceLevels = std::map<std::int64_t, LevelQueue>;

}  // namespace kestrova
