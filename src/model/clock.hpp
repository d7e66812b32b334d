#pragma once

#include <cstdint>

namespace kestrova {

// Nanoseconds since the Unix epoch from the wall clock. Throws
// InvariantFailure when the clock reads before the epoch.
std::uint64_t wall_clock_ns();

}  // namespace kestrova
