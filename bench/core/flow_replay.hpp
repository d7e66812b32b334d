#pragma once

// What the C++ flow benchmarks share, so that kestrova's core and a peer are
// read, timed and reported alike: the flow file, the clock, the rounds and
// the table.
//
// FLOW_FILE is the text written by `python bench/flow.py --write FILE`:
//   "A <B|S> <ticks> <quantity>" creates an order and adds it,
//   "C <k>" cancels the order of the k-th A line, "Q" reads both best prices.
//
// Each round replays the whole file into a new book twice: once with one
// clock read around the whole replay (the overall figure) and once with a
// clock read around every operation (the per-kind figures, less the measured
// cost of one clock read). The median over the rounds is printed with the
// min-max.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <type_traits>
#include <vector>

namespace flow_replay {

[[noreturn]] inline void reject(const char* why, const std::string& line) {
  std::fprintf(stderr, "%s: %s\n", why, line.c_str());
  std::exit(2);
}

// Hands each line of the flow file to `on_add(side, ticks, quantity, line)`
// (side 'B' or 'S'), `on_cancel(k)` (k names an earlier A line) or
// `on_query()`. A line that does not parse ends the program.
template <class OnAdd, class OnCancel, class OnQuery>
void read(const char* path, OnAdd&& on_add, OnCancel&& on_cancel, OnQuery&& on_query) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path);
    std::exit(2);
  }
  std::string line;
  std::uint64_t adds = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == 'A') {
      char side = 0;
      long long ticks = 0;
      double quantity = 0;
      if (std::sscanf(line.c_str(), "A %c %lld %lf", &side, &ticks, &quantity) != 3) {
        reject("bad line", line);
      }
      on_add(side, ticks, quantity, line);
      ++adds;
    } else if (line[0] == 'C') {
      std::uint64_t target = std::strtoull(line.c_str() + 2, nullptr, 10);
      if (target >= adds) reject("cancel of a later order", line);
      on_cancel(target, line);
    } else if (line[0] == 'Q') {
      on_query();
    } else {
      reject("bad line", line);
    }
  }
}

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What every replay must agree on, so that a faster book is not doing less.
struct Outcome {
  std::uint64_t fills = 0;
  double filled = 0;
  std::uint64_t cancelled = 0;
  std::int64_t checksum = 0;  // sum of the best prices read (0 for an empty side)
};

enum Kind { kCreate, kAdd, kCancel, kQuery, kKinds };
inline constexpr const char* kKindNames[kKinds] = {"create_order", "add", "cancel", "best_bid+ask"};

struct Timings {
  double overall = 0;  // seconds for the replay without per-operation clocks
  double by_kind[kKinds] = {};
  std::size_t count[kKinds] = {};
};

// Runs one operation, timed into its kind when the replay times each one.
template <bool kPerOperation>
class Timer {
 public:
  Timer(Timings& timings, double clock_cost) : timings_(timings), clock_cost_(clock_cost) {}

  template <class Run>
  void operator()(Kind kind, Run&& run) {
    if constexpr (kPerOperation) {
      auto t0 = Clock::now();
      run();
      timings_.by_kind[kind] += seconds_since(t0) - clock_cost_;
      ++timings_.count[kind];
    } else {
      run();
    }
  }

 private:
  Timings& timings_;
  double clock_cost_;
};

inline double clock_read_cost() {
  constexpr int kReads = 1'000'000;
  auto start = Clock::now();
  volatile double sink = 0;
  for (int i = 0; i < kReads; ++i) {
    auto t0 = Clock::now();
    sink = sink + seconds_since(t0);
  }
  // A timed operation's interval holds about one of the two clock reads.
  return seconds_since(start) / kReads / 2;
}

// "median [min-max]" of the rounds.
inline std::string spread_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "%8.1f [%.1f-%.1f]", values[values.size() / 2], values.front(),
                values.back());
  return text;
}

// The flow file and --rounds from the command line; exits on a bad one.
struct Arguments {
  const char* flow_path;
  int rounds = 5;
};

inline Arguments arguments(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FLOW_FILE [--rounds R]\n", argv[0]);
    std::exit(2);
  }
  Arguments parsed{argv[1]};
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0) parsed.rounds = std::atoi(argv[i + 1]);
  }
  return parsed;
}

// Runs the rounds of `replay(per_operation, timings, clock_cost)`, where
// per_operation is std::true_type or std::false_type and the result an
// Outcome, and prints the table; the program's exit code.
template <class Replay>
int run_rounds(const Arguments& args, std::size_t operations, Replay&& replay) {
  const double clock_cost = clock_read_cost();
  std::vector<double> overall;
  std::vector<double> per_kind[kKinds];
  std::size_t counts[kKinds] = {};
  Outcome first{};
  for (int round = 0; round < args.rounds; ++round) {
    Timings whole;
    Outcome outcome = replay(std::false_type{}, whole, clock_cost);
    Timings split;
    replay(std::true_type{}, split, clock_cost);
    if (round == 0) first = outcome;
    if (outcome.fills != first.fills || outcome.cancelled != first.cancelled ||
        outcome.checksum != first.checksum) {
      std::fprintf(stderr, "replays disagree\n");
      return 1;
    }
    overall.push_back(whole.overall / static_cast<double>(operations) * 1e9);
    for (int k = 0; k < kKinds; ++k) {
      counts[k] = split.count[k];
      per_kind[k].push_back(split.count[k] ? split.by_kind[k] / split.count[k] * 1e9 : 0);
    }
  }

  std::printf("flow: %s, %zu operations, %d rounds\n", args.flow_path, operations, args.rounds);
  std::printf("work: %llu fills, filled %.0f, %llu cancels, best-price checksum %lld\n",
              static_cast<unsigned long long>(first.fills), first.filled,
              static_cast<unsigned long long>(first.cancelled),
              static_cast<long long>(first.checksum));
  std::printf("%-14s %10s  %s\n", "operation", "count", "ns/op median [min-max]");
  for (int k = 0; k < kKinds; ++k) {
    if (counts[k] == 0) {
      std::printf("%-14s %10zu  %8s\n", kKindNames[k], counts[k], "-");
    } else {
      std::printf("%-14s %10zu  %s\n", kKindNames[k], counts[k], spread_of(per_kind[k]).c_str());
    }
  }
  std::printf("%-14s %10zu  %s\n", "overall", operations, spread_of(overall).c_str());
  return 0;
}

}  // namespace flow_replay
