// Replays an order-flow file against the C++ core alone and prints ns per
// operation, by kind and overall. Not part of the default build or the tests.
//
// Build and run (from the repository root):
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BENCH=ON
//         -DPython_EXECUTABLE=$(which python)
//   cmake --build build/bench --target core_bench
//   build/bench/core_bench FLOW_FILE [--rounds R]
//
// FLOW_FILE is the text written by `python bench/flow.py --write FILE`:
//   "A <B|S> <ticks> <quantity>" creates an order and adds it,
//   "C <k>" cancels the order of the k-th A line, "Q" reads both best prices.
//
// Each round replays the whole file into a new book twice: once untimed per
// operation (the overall figure: one clock read around the whole replay) and
// once with a clock read around every operation (the per-kind figures, minus
// the measured cost of one clock read). Medians over the rounds are printed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "book/order_book.hpp"
#include "model/order.hpp"

namespace {

struct Operation {
  enum Kind : std::uint8_t { kAdd, kCancel, kQuery } kind;
  kestrova::OrderType side;
  std::int64_t price_in_ticks;
  double quantity;
  std::uint32_t target;  // A-line index for a cancel
  // The cancel's place among the flow's cancels; for an add, that of the
  // cancel that takes its order, or kNoCancel.
  std::uint32_t cancel;
};

constexpr std::uint32_t kNoCancel = 0xFFFFFFFFu;

std::vector<Operation> read_flow(const char* path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", path);
    std::exit(2);
  }
  std::vector<Operation> flow;
  std::string line;
  std::uint32_t adds = 0;
  std::uint32_t cancels = 0;
  std::vector<std::size_t> add_at;  // flow position of each A line
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    Operation op{};
    if (line[0] == 'A') {
      char side = 0;
      long long ticks = 0;
      double quantity = 0;
      if (std::sscanf(line.c_str(), "A %c %lld %lf", &side, &ticks, &quantity) != 3) {
        std::fprintf(stderr, "bad line: %s\n", line.c_str());
        std::exit(2);
      }
      op.kind = Operation::kAdd;
      op.side = side == 'B' ? kestrova::OrderType::Buy : kestrova::OrderType::Sell;
      op.price_in_ticks = ticks;
      op.quantity = quantity;
      op.cancel = kNoCancel;
      add_at.push_back(flow.size());
      ++adds;
    } else if (line[0] == 'C') {
      op.kind = Operation::kCancel;
      op.target = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 2, nullptr, 10));
      if (op.target >= adds) {
        std::fprintf(stderr, "cancel of a later order: %s\n", line.c_str());
        std::exit(2);
      }
      Operation& added = flow[add_at[op.target]];
      if (added.cancel != kNoCancel) {
        std::fprintf(stderr, "order cancelled twice: %s\n", line.c_str());
        std::exit(2);
      }
      op.cancel = added.cancel = cancels++;
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
  std::int64_t checksum = 0;  // sum of the best prices read
};

struct Timings {
  double overall = 0;                // seconds for the untimed-per-op replay
  double by_kind[4] = {0, 0, 0, 0};  // create, add, cancel, best bid+ask
  std::size_t count[4] = {0, 0, 0, 0};
};

template <bool kPerOperation>
Outcome replay(const std::vector<Operation>& flow, Timings& timings, double clock_cost) {
  kestrova::OrderBook book(0.01);
  // The id text of each cancel, in flow order: written when its order is
  // added and read in turn, as the peer's integer ids travel with the flow,
  // so that no replay pays for fetching its caller's id from far away.
  constexpr std::size_t kText = kestrova::OrderId::kTextSize;
  std::vector<char> cancel_texts(flow.size() * kText);
  std::vector<kestrova::Fill> fills;
  Outcome outcome;
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
      case Operation::kAdd: {
        kestrova::Order order;
        timed(0, [&] { order = kestrova::make_order(op.side, op.price_in_ticks, op.quantity); });
        if (op.cancel != kNoCancel) order.id.write_text(&cancel_texts[op.cancel * kText]);
        fills.clear();
        timed(1, [&] { book.add(order, fills); });
        outcome.fills += fills.size();
        for (const kestrova::Fill& fill : fills) outcome.filled += fill.quantity;
        break;
      }
      case Operation::kCancel: {
        std::string_view id(&cancel_texts[op.cancel * kText], kText);
        bool done = false;
        timed(2, [&] { done = book.cancel(id); });
        outcome.cancelled += done;
        break;
      }
      case Operation::kQuery: {
        std::int64_t prices = 0;
        timed(3, [&] {
          auto bid = book.best_bid();
          auto ask = book.best_ask();
          prices = (bid ? bid->first : 0) + (ask ? ask->first : 0);
        });
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

  std::printf("flow: %s, %zu operations, %d rounds\n", argv[1], flow.size(), rounds);
  std::printf("work: %llu fills, filled %.0f, %llu cancels, best-price checksum %lld\n",
              static_cast<unsigned long long>(first.fills), first.filled,
              static_cast<unsigned long long>(first.cancelled),
              static_cast<long long>(first.checksum));
  std::printf("%-14s %10s  %s\n", "operation", "count", "ns/op median [min-max]");
  for (int k = 0; k < 4; ++k) {
    std::printf("%-14s %10zu  %s\n", names[k], counts[k], spread_of(per_kind[k]).c_str());
  }
  std::printf("%-14s %10zu  %s\n", "overall", flow.size(), spread_of(overall).c_str());
  return 0;
}
