// The floor draws its random bytes the way kestrova does, through the vDSO's
// getrandom where the kernel offers it, so that a cheaper source never shows
// as kestrova's own saving.
#include <cstddef>

#include "model/vdso_random.hpp"

extern "C" long floor_vdso_getrandom(void* out, std::size_t size) {
  return kestrova::vdso_getrandom(out, size);
}
