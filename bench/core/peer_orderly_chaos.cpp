// Replays an order-flow file against orderly-chaos's header-only C++ book and
// prints ns per operation in the same layout as core_bench, so the two cores
// can be set side by side. Not part of any default build or of the tests.
//
// Build and run: python bench/core/peer_core.py [--flow FILE] [--rounds R]
// (it fetches the peer's headers from its PyPI sdist into a cache directory).
//
// FLOW_FILE is the text written by `python bench/flow.py --write FILE`:
//   "A <B|S> <ticks> <quantity>" creates an order and adds it,
//   "C <k>" cancels the order of the k-th A line, "Q" reads both best prices.
// The peer's orders carry caller-chosen integer ids (the A-line index) and
// integer quantities, so there is no order to create apart from the add.
//
// Each round replays the whole file into a new book twice: once with one
// clock read around the whole replay (the overall figure) and once with a
// clock read around every operation (the per-kind figures, less the measured
// cost of one clock read). The median over the rounds is printed with the min-max.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "orderly_chaos/orderly_chaos.hpp"

namespace {

namespace oc = orderly_chaos;

struct Operation {
  enum Kind : std::uint8_t { kAdd, kCancel, kQuery } kind;
  oc::Side side;
  oc::Price price_in_ticks;
  oc::Quantity quantity;
  std::uint64_t target;  // A-line index: the order's id, for an add or a cancel
};

std::vector<Operation> read_flow(const char* path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path);
    std::exit(2);
  }
  std::vector<Operation> flow;
  std::string line;
  std::uint64_t adds = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    Operation op{};
    if (line[0] == 'A') {
      char side = 0;
      long long ticks = 0;
      double quantity = 0;
      if (std::sscanf(line.c_str(), "A %c %lld %lf", &side, &ticks, &quantity) != 3 || ticks <= 0 ||
          quantity < 1 || quantity != static_cast<double>(static_cast<oc::Quantity>(quantity))) {
        std::fprintf(stderr, "line the peer cannot take (integer quantities only): %s\n",
                     line.c_str());
        std::exit(2);
      }
      op.kind = Operation::kAdd;
      op.side = side == 'B' ? oc::Side::Buy : oc::Side::Sell;
      op.price_in_ticks = static_cast<oc::Price>(ticks);
      op.quantity = static_cast<oc::Quantity>(quantity);
      op.target = adds++;
    } else if (line[0] == 'C') {
      op.kind = Operation::kCancel;
      op.target = std::strtoull(line.c_str() + 2, nullptr, 10);
      if (op.target >= adds) {
        std::fprintf(stderr, "cancel of a later order: %s\n", line.c_str());
        std::exit(2);
      }
    } else if (line[0] == 'Q') {
      op.kind = Operation::kQuery;
    } else {
      std::fprintf(stderr, "bad line: %s\n", line.c_str());
      std::exit(2);
    }
    flow.push_back(op);
  }
  return flow;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// What every replay must agree on, so that a faster book is not doing less.
struct Outcome {
  std::uint64_t fills = 0;
  double filled = 0;
  std::uint64_t cancelled = 0;
  std::int64_t checksum = 0;  // sum of the best prices read (0 for an empty side)
};

struct Timings {
  double overall = 0;                // seconds for the replay without per-operation clocks
  double by_kind[4] = {0, 0, 0, 0};  // create, add, cancel, best bid+ask
  std::size_t count[4] = {0, 0, 0, 0};
};

template <bool kPerOperation>
Outcome replay(const std::vector<Operation>& flow, Timings& timings, double clock_cost) {
  oc::LimitOrderBook book;
  Outcome outcome;
  // the peer reports trades through its handler, after each operation
  book.set_trade_handler([&outcome](const oc::Trade& trade) {
    ++outcome.fills;
    outcome.filled += trade.quantity;
  });
  auto start = Clock::now();
  auto timed = [&](int kind, auto&& run) {
    if constexpr (kPerOperation) {
      auto t0 = Clock::now();
      run();
      timings.by_kind[kind] += seconds_since(t0) - clock_cost;
      ++timings.count[kind];
    } else {
      run();
    }
  };
  for (const Operation& op : flow) {
    switch (op.kind) {
      case Operation::kAdd:
        timed(1, [&] { book.limit(op.side, op.target, op.quantity, op.price_in_ticks); });
        break;
      case Operation::kCancel:
        timed(2, [&] { book.cancel(op.target); });  // throws for an id that does not rest
        ++outcome.cancelled;
        break;
      case Operation::kQuery: {
        std::int64_t prices = 0;
        timed(3, [&] { prices = static_cast<std::int64_t>(book.best_buy() + book.best_sell()); });
        outcome.checksum += prices;
        break;
      }
    }
  }
  if constexpr (!kPerOperation) timings.overall = seconds_since(start);
  return outcome;
}

double clock_read_cost() {
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
std::string spread_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  char text[64];
  std::snprintf(text, sizeof text, "%8.1f [%.1f-%.1f]", values[values.size() / 2], values.front(),
                values.back());
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FLOW_FILE [--rounds R]\n", argv[0]);
    return 2;
  }
  int rounds = 5;
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  }
  const std::vector<Operation> flow = read_flow(argv[1]);
  const double clock_cost = clock_read_cost();

  const char* names[4] = {"create_order", "add", "cancel", "best_bid+ask"};
  std::vector<double> overall;
  std::vector<double> per_kind[4];
  std::size_t counts[4] = {0, 0, 0, 0};
  Outcome first{};
  try {
    for (int round = 0; round < rounds; ++round) {
      Timings whole;
      Outcome outcome = replay<false>(flow, whole, clock_cost);
      Timings split;
      replay<true>(flow, split, clock_cost);
      if (round == 0) first = outcome;
      if (outcome.fills != first.fills || outcome.cancelled != first.cancelled ||
          outcome.checksum != first.checksum) {
        std::fprintf(stderr, "replays disagree\n");
        return 1;
      }
      overall.push_back(whole.overall / static_cast<double>(flow.size()) * 1e9);
      for (int k = 0; k < 4; ++k) {
        counts[k] = split.count[k];
        per_kind[k].push_back(split.count[k] ? split.by_kind[k] / split.count[k] * 1e9 : 0);
      }
    }
  } catch (const oc::OrderBookError& error) {
    std::fprintf(stderr, "the peer refused the flow: %s\n", error.what());
    return 1;
  }

  std::printf("engine: orderly-chaos %s (header-only C++ core)\n", ORDERLY_CHAOS_VERSION_STRING);
  std::printf("flow: %s, %zu operations, %d rounds\n", argv[1], flow.size(), rounds);
  std::printf("work: %llu fills, filled %.0f, %llu cancels, best-price checksum %lld\n",
              static_cast<unsigned long long>(first.fills), first.filled,
              static_cast<unsigned long long>(first.cancelled),
              static_cast<long long>(first.checksum));
  std::printf("%-14s %10s  %s\n", "operation", "count", "ns/op median [min-max]");
  for (int k = 0; k < 4; ++k) {
    if (counts[k] == 0) {
      std::printf("%-14s %10zu  %8s\n", names[k], counts[k], "-");
    } else {
      std::printf("%-14s %10zu  %s\n", names[k], counts[k], spread_of(per_kind[k]).c_str());
    }
  }
  std::printf("%-14s %10zu  %s\n", "overall", flow.size(), spread_of(overall).c_str());
  return 0;
}
