#include "model/uuid.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "model/failure.hpp"
#include "model/vdso_random.hpp"

namespace kestrova {

namespace {

// One getrandom call costs more than the rest of an order together, so bytes
// are drawn in blocks and each byte is handed out once.
constexpr std::size_t kBlockSize = 4096;

// Bumped in every child after fork(), so that a child never hands out bytes
// its parent buffered (and may hand out itself).
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct ForkHook {
  ForkHook() { pthread_atfork(nullptr, nullptr, on_fork_child); }
} const fork_hook;

// All zero when a thread starts (nothing left, generation 0), so the block
// needs no initialisation guard and each id costs one thread-local lookup.
struct RandomBlock {
  std::size_t left;  // bytes not yet handed out, at the end of `bytes`
  std::uint64_t generation;
  std::uint8_t bytes[kBlockSize];
};

constinit thread_local RandomBlock block{};

[[noreturn]] void fail(int error) {
  throw InvariantFailure(std::string("could not retrieve random bytes for uuid: ") +
                         std::strerror(error) + " (os error " + std::to_string(error) + ")");
}

// Reads the whole buffer from /dev/urandom; returns 0 or an errno value.
int read_urandom(std::uint8_t* out, std::size_t size) {
  int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  for (std::size_t done = 0; done < size;) {
    ssize_t got = ::read(fd, out + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = got < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return error;
}

// getrandom through the vDSO where the kernel offers it there (it generates
// about twice as fast), else the raw system call rather than glibc's wrapper,
// which needs glibc 2.25; a kernel without either answers ENOSYS and
// /dev/urandom takes over.
ssize_t system_random(std::uint8_t* out, std::size_t size) {
  long got = vdso_getrandom(out, size);
  if (got == -ENOSYS) return static_cast<ssize_t>(::syscall(SYS_getrandom, out, size, 0));
  if (got < 0) {
    errno = static_cast<int>(-got);
    return -1;
  }
  return static_cast<ssize_t>(got);
}

// Runs once in 256 ids, so it stays out of the common path. A block drawn
// before fork() (an older generation) is dropped first, so that a failed
// refill leaves nothing of it to hand out.
[[gnu::noinline]] void refill(RandomBlock& b, std::uint64_t generation) {
  b.generation = generation;
  b.left = 0;
  for (std::size_t done = 0; done < kBlockSize;) {
    ssize_t got = system_random(b.bytes + done, kBlockSize - done);
    if (got >= 0) {
      done += static_cast<std::size_t>(got);
      continue;
    }
    if (errno == EINTR) continue;
    int error = errno;
    if (read_urandom(b.bytes, kBlockSize) != 0) fail(error);
    break;
  }
  b.left = kBlockSize;
}

}  // namespace

OrderId new_order_id() {
  // One lookup of the thread's block: the empty asm hides where the pointer
  // came from, so the compiler keeps it rather than calling __tls_get_addr
  // again for each use.
  RandomBlock* thread_block = &block;
  asm("" : "+r"(thread_block));
  RandomBlock& b = *thread_block;
  const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
  OrderId id;
  if (b.left < id.bytes.size() || b.generation != generation) [[unlikely]] {
    refill(b, generation);
  }
  std::uint8_t* next = b.bytes + (kBlockSize - b.left);
  std::memcpy(id.bytes.data(), next, id.bytes.size());
  // Wipe what was handed out so it can never be handed out again.
  std::memset(next, 0, id.bytes.size());
  b.left -= id.bytes.size();
  id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0F) | 0x40);
  id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3F) | 0x80);
  return id;
}

}  // namespace kestrova
