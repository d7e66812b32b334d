#include "model/vdso_random.hpp"

#include <elf.h>
#include <sys/auxv.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kestrova {

namespace {

using Getrandom = long (*)(void* out, std::size_t size, unsigned flags, void* state,
                           std::size_t state_size);

// What the vDSO says about the memory of one generator state.
struct StateParams {
  std::uint32_t size_of_opaque_state;
  std::uint32_t mmap_prot;
  std::uint32_t mmap_flags;
  std::uint32_t reserved[13];
};

struct Vdso {
  Getrandom getrandom = nullptr;
  StateParams params{};
};

// The address of a function the vDSO exports, through its dynamic symbol
// table; null if the vDSO or the function is missing.
void* vdso_function(const char* name) {
  const auto base = static_cast<std::uintptr_t>(getauxval(AT_SYSINFO_EHDR));
  if (base == 0) return nullptr;
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(base);
  if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64) {
    return nullptr;
  }
  const auto* segments = reinterpret_cast<const Elf64_Phdr*>(base + header->e_phoff);
  std::uintptr_t bias = 0;
  bool loaded = false;
  const Elf64_Dyn* dynamic = nullptr;
  for (int i = 0; i < header->e_phnum; ++i) {
    if (segments[i].p_type == PT_LOAD && !loaded) {
      bias = base + segments[i].p_offset - segments[i].p_vaddr;
      loaded = true;
    } else if (segments[i].p_type == PT_DYNAMIC) {
      dynamic = reinterpret_cast<const Elf64_Dyn*>(base + segments[i].p_offset);
    }
  }
  if (!loaded || dynamic == nullptr) return nullptr;
  const Elf64_Sym* symbols = nullptr;
  const char* names = nullptr;
  const Elf32_Word* hash = nullptr;
  for (const Elf64_Dyn* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
    const std::uintptr_t address = entry->d_un.d_ptr + bias;
    if (entry->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const Elf64_Sym*>(address);
    if (entry->d_tag == DT_STRTAB) names = reinterpret_cast<const char*>(address);
    if (entry->d_tag == DT_HASH) hash = reinterpret_cast<const Elf32_Word*>(address);
  }
  if (symbols == nullptr || names == nullptr || hash == nullptr) return nullptr;
  const Elf32_Word count = hash[1];  // the hash table's chain length: one per symbol
  for (Elf32_Word i = 0; i < count; ++i) {
    const Elf64_Sym& symbol = symbols[i];
    if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF) continue;
    if (std::strcmp(names + symbol.st_name, name) == 0) {
      return reinterpret_cast<void*>(symbol.st_value + bias);
    }
  }
  return nullptr;
}

Vdso find_vdso() {
  Vdso found;
  auto getrandom = reinterpret_cast<Getrandom>(vdso_function("__vdso_getrandom"));
  // Asked with no buffer and a state size of all ones, it describes its states.
  if (getrandom != nullptr && getrandom(nullptr, 0, 0, &found.params, ~std::size_t{0}) == 0 &&
      found.params.size_of_opaque_state != 0) {
    found.getrandom = getrandom;
  }
  return found;
}

const Vdso& vdso() {
  static const Vdso found = find_vdso();
  return found;
}

// One generator state for the process, mapped as the vDSO asks (the kernel
// may drop or wipe it, and the vDSO then reseeds). A state serves one caller
// at a time; a thread that finds it busy takes the system call instead, which
// is rare, as callers draw in blocks.
std::atomic_flag state_busy = ATOMIC_FLAG_INIT;
void* state = nullptr;  // written only while holding state_busy

void* mapped_state(const StateParams& params) {
  if (state == nullptr) {
    void* memory = ::mmap(nullptr, params.size_of_opaque_state, static_cast<int>(params.mmap_prot),
                          static_cast<int>(params.mmap_flags), -1, 0);
    if (memory != MAP_FAILED) state = memory;
  }
  return state;
}

}  // namespace

long vdso_getrandom(void* out, std::size_t size) {
  const Vdso& found = vdso();
  if (found.getrandom == nullptr) return -ENOSYS;
  if (state_busy.test_and_set(std::memory_order_acquire)) return -ENOSYS;
  long got = -ENOSYS;
  if (void* s = mapped_state(found.params)) {
    got = found.getrandom(out, size, 0, s, found.params.size_of_opaque_state);
  }
  state_busy.clear(std::memory_order_release);
  return got;
}

}  // namespace kestrova
