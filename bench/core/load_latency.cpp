// What one dependent load costs on this machine, by the size of the memory it
// is taken from at random: the price of each cache miss that an add or a
// cancel in a large book cannot avoid (an id index slot, then a record).
// Not part of the default build or the tests.
//
// Build and run (from the repository root):
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BENCH=ON
//         -DPython_EXECUTABLE=$(which python)
//   cmake --build build/bench --target load_latency
//   build/bench/load_latency

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <vector>

int main() {
  constexpr std::size_t kLine = 64 / sizeof(std::uint64_t);  // one load per cache line
  constexpr int kSteps = 2'000'000;
  std::printf("%10s  %s\n", "memory", "ns per dependent load (a random cycle through it)");
  for (std::size_t mib : {1, 2, 4, 8, 16, 32, 64, 256}) {
    const std::size_t lines = (mib << 20) / 64;
    std::vector<std::uint64_t> memory(lines * kLine);
    std::vector<std::uint32_t> order(lines);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin() + 1, order.end(), std::mt19937_64(1));
    for (std::size_t i = 0; i < lines; ++i) {
      memory[order[i] * kLine] = order[(i + 1) % lines] * kLine;
    }
    std::uint64_t at = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kSteps; ++i) at = memory[at];
    auto elapsed = std::chrono::steady_clock::now() - start;
    std::printf("%6zu MiB  %8.1f%s\n", mib,
                std::chrono::duration<double, std::nano>(elapsed).count() / kSteps,
                at == ~std::uint64_t{0} ? " " : "");  // uses `at`, so the chase stays
  }
  return 0;
}
