// Replays an order-flow file against orderly-chaos's header-only C++ book and
// prints ns per operation in the same layout as core_bench, so the two cores
// can be set side by side. Not part of any default build or of the tests.
//
// Build and run: python bench/core/peer_core.py [--flow FILE] [--rounds R]
// (it fetches the peer's headers from its PyPI sdist into a cache directory).
//
// The flow file and the rounds are described in flow_replay.hpp. The peer's
// orders carry caller-chosen integer ids (the A-line index) and integer
// quantities, so there is no order to create apart from the add.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flow_replay.hpp"
#include "orderly_chaos/orderly_chaos.hpp"

namespace {

namespace oc = orderly_chaos;
using flow_replay::Kind;
using flow_replay::Outcome;
using flow_replay::Timings;

struct Operation {
  enum Kind : std::uint8_t { kAdd, kCancel, kQuery } kind;
  oc::Side side;
  oc::Price price_in_ticks;
  oc::Quantity quantity;
  std::uint64_t target;  // A-line index: the order's id, for an add or a cancel
};

std::vector<Operation> read_flow(const char* path) {
  std::vector<Operation> flow;
  std::uint64_t adds = 0;
  flow_replay::read(
      path,
      [&](char side, long long ticks, double quantity, const std::string& line) {
        if (ticks <= 0 || quantity < 1 ||
            quantity != static_cast<double>(static_cast<oc::Quantity>(quantity))) {
          flow_replay::reject("line the peer cannot take (integer quantities only)", line);
        }
        flow.push_back({Operation::kAdd, side == 'B' ? oc::Side::Buy : oc::Side::Sell,
                        static_cast<oc::Price>(ticks), static_cast<oc::Quantity>(quantity),
                        adds++});
      },
      [&](std::uint64_t target, const std::string&) {
        flow.push_back({Operation::kCancel, {}, 0, 0, target});
      },
      [&] { flow.push_back({Operation::kQuery, {}, 0, 0, 0}); });
  return flow;
}

template <bool kPerOperation>
Outcome replay(const std::vector<Operation>& flow, Timings& timings, double clock_cost) {
  oc::LimitOrderBook book;
  Outcome outcome;
  // the peer reports trades through its handler, after each operation
  book.set_trade_handler([&outcome](const oc::Trade& trade) {
    ++outcome.fills;
    outcome.filled += trade.quantity;
  });
  flow_replay::Timer<kPerOperation> timed(timings, clock_cost);
  auto start = flow_replay::Clock::now();
  for (const Operation& op : flow) {
    switch (op.kind) {
      case Operation::kAdd:
        timed(Kind::kAdd, [&] { book.limit(op.side, op.target, op.quantity, op.price_in_ticks); });
        break;
      case Operation::kCancel:
        timed(Kind::kCancel,
              [&] { book.cancel(op.target); });  // throws for an id that does not rest
        ++outcome.cancelled;
        break;
      case Operation::kQuery: {
        std::int64_t prices = 0;
        timed(Kind::kQuery,
              [&] { prices = static_cast<std::int64_t>(book.best_buy() + book.best_sell()); });
        outcome.checksum += prices;
        break;
      }
    }
  }
  if constexpr (!kPerOperation) timings.overall = flow_replay::seconds_since(start);
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  const flow_replay::Arguments args = flow_replay::arguments(argc, argv);
  const std::vector<Operation> flow = read_flow(args.flow_path);
  std::printf("engine: orderly-chaos %s (header-only C++ core)\n", ORDERLY_CHAOS_VERSION_STRING);
  try {
    return flow_replay::run_rounds(
        args, flow.size(), [&](auto per_operation, Timings& timings, double clock_cost) {
          return replay<decltype(per_operation)::value>(flow, timings, clock_cost);
        });
  } catch (const oc::OrderBookError& error) {
    std::fprintf(stderr, "the peer refused the flow: %s\n", error.what());
    return 1;
  }
}
