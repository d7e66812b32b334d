#pragma once

#include <cstddef>

namespace kestrova {

// The kernel's getrandom as its vDSO offers it (Linux 6.11 and later): the
// same source, generated in user space from state the kernel seeds, reseeds
// and wipes on fork. Fills up to `size` bytes and returns how many, or a
// negative errno value; -ENOSYS where the vDSO has no such function or
// another thread is drawing from it: the caller then takes the system call.
long vdso_getrandom(void* out, std::size_t size);

}  // namespace kestrova
