#include "model/clock.hpp"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "model/failure.hpp"

namespace kestrova {

std::uint64_t wall_clock_ns() {
  timespec now{};
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) {
    throw InvariantFailure(std::string("Time went backwards: the wall clock could not be read: ") +
                           std::strerror(errno));
  }
  if (now.tv_sec < 0) {
    throw InvariantFailure("Time went backwards: the wall clock reads before 1970-01-01T00:00:00Z");
  }
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace kestrova
