// Replays an order-flow file against the C++ core alone and prints ns per
// operation, by kind and overall. Not part of the default build or the tests.
//
// Build and run (from the repository root):
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKESTROVA_BENCH=ON
//         -DPython_EXECUTABLE=$(which python)
//   cmake --build build/bench --target core_bench
//   build/bench/core_bench FLOW_FILE [--rounds R]
//
// The flow file and the rounds are described in flow_replay.hpp.

#include <cstdint>
#include <string_view>
#include <vector>

#include "book/order_book.hpp"
#include "flow_replay.hpp"
#include "model/order.hpp"

namespace {

using flow_replay::Kind;
using flow_replay::Outcome;
using flow_replay::Timings;

struct Operation {
  enum Kind : std::uint8_t { kAdd, kCancel, kQuery } kind;
  kestrova::OrderType side;
  std::int64_t price_in_ticks;
  double quantity;
  // The cancel's place among the flow's cancels; for an add, that of the
  // cancel that takes its order, or kNoCancel.
  std::uint32_t cancel;
};

constexpr std::uint32_t kNoCancel = 0xFFFFFFFFu;

std::vector<Operation> read_flow(const char* path) {
  std::vector<Operation> flow;
  std::vector<std::size_t> add_at;  // flow position of each A line
  std::uint32_t cancels = 0;
  flow_replay::read(
      path,
      [&](char side, long long ticks, double quantity, const std::string&) {
        add_at.push_back(flow.size());
        flow.push_back({Operation::kAdd,
                        side == 'B' ? kestrova::OrderType::Buy : kestrova::OrderType::Sell, ticks,
                        quantity, kNoCancel});
      },
      [&](std::uint64_t target, const std::string& line) {
        Operation& added = flow[add_at[target]];
        if (added.cancel != kNoCancel) flow_replay::reject("order cancelled twice", line);
        added.cancel = cancels;
        flow.push_back({Operation::kCancel, {}, 0, 0, cancels++});
      },
      [&] { flow.push_back({Operation::kQuery, {}, 0, 0, kNoCancel}); });
  return flow;
}

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
  flow_replay::Timer<kPerOperation> timed(timings, clock_cost);
  auto start = flow_replay::Clock::now();
  for (const Operation& op : flow) {
    switch (op.kind) {
      case Operation::kAdd: {
        kestrova::Order order;
        timed(Kind::kCreate,
              [&] { order = kestrova::make_order(op.side, op.price_in_ticks, op.quantity); });
        if (op.cancel != kNoCancel) order.id.write_text(&cancel_texts[op.cancel * kText]);
        fills.clear();
        timed(Kind::kAdd, [&] { book.add(order, fills); });
        outcome.fills += fills.size();
        for (const kestrova::Fill& fill : fills) outcome.filled += fill.quantity;
        break;
      }
      case Operation::kCancel: {
        std::string_view id(&cancel_texts[op.cancel * kText], kText);
        bool done = false;
        timed(Kind::kCancel, [&] { done = book.cancel(id); });
        outcome.cancelled += done;
        break;
      }
      case Operation::kQuery: {
        std::int64_t prices = 0;
        timed(Kind::kQuery, [&] {
          auto bid = book.best_bid();
          auto ask = book.best_ask();
          prices = (bid ? bid->first : 0) + (ask ? ask->first : 0);
        });
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
  return flow_replay::run_rounds(
      args, flow.size(), [&](auto per_operation, Timings& timings, double clock_cost) {
        return replay<decltype(per_operation)::value>(flow, timings, clock_cost);
      });
}
