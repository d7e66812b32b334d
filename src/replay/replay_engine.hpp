#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "book/order_book.hpp"
#include "replay/ref_map.hpp"

namespace kestrova::replay {

// What one message of recorded or simulated flow does to the book, whatever
// its format. Readers decode their format into these; one loop replays them.
enum class Action : std::uint8_t {
  kAdd = 1,      // a new order `ref`: side, price, quantity
  kReduce = 2,   // `quantity` comes off the order `ref` (a partial cancel)
  kDelete = 3,   // the order `ref` goes; `quantity` is the size the data says was left
  kExecute = 4,  // `quantity` of the resting order `ref` trades; `price` is 0 or the trade's
  kNote = 5,     // recorded only: trades without a book effect, halts, system events
  kReplace = 6,  // the order `ref` goes and `new_ref` comes, same side, at price and quantity
  kClear = 7,    // every resting order goes
  kModify = 8,   // the order `ref` moves to price and quantity
};

// Why the book could not follow an event exactly.
enum class Reason : std::uint8_t {
  kUnknownOrder = 1,     // the order is not known and its level holds no unknown part
  kOtherMaker = 2,       // an execution filled another order than the one named
  kShortExecution = 3,   // less resting quantity than the execution needed
  kPriceDiffers = 4,     // the execution's price is not the order's limit
  kCrossingAdd = 5,      // a new order traded on entry
  kDuplicateRef = 6,     // an add names an order that is still resting
  kOversizedCancel = 7,  // a cancel took more than the order had left
};

inline constexpr std::uint8_t kBuy = 0;
inline constexpr std::uint8_t kSell = 1;

// One batch of decoded events as columns, every pointer `size` long.
struct Events {
  std::size_t size = 0;
  const std::int64_t* time = nullptr;  // the data's own time, ns
  const std::int64_t* seq = nullptr;   // the data's own event number (line, message)
  const std::uint8_t* action = nullptr;
  const std::uint8_t* side = nullptr;
  const std::uint8_t* code = nullptr;  // the format's own event type, carried to the tables
  const std::uint64_t* ref = nullptr;
  const std::uint64_t* new_ref = nullptr;
  const std::int64_t* price = nullptr;  // ticks
  const std::int64_t* quantity = nullptr;
};

struct Options {
  double tick_size = 1.0;
  std::size_t levels = 10;       // depth levels sampled, and compared with book rows
  std::int64_t depth_every = 0;  // a depth sample every K events; 0 for none
  bool unknown_parts = false;    // unknown refs act on their level's unknown part
  // Recorded data: an unknown ref, or an add that trades on entry, is a
  // divergence. A simulation cancels orders that may have filled already.
  bool recorded = true;
  bool correct = true;  // a mismatching row's visible levels are taken from it
  // When not 0, the book is sampled only after events whose code has this bit:
  // formats whose book is consistent only at the end of a packet mark those.
  std::uint8_t sample_code_bit = 0;
  // When not 0, an order still resting this many adds after its own is
  // cancelled before the next add: a simulation's orders expire.
  std::int64_t expire_after = 0;
};

struct Counts {
  std::int64_t events = 0;
  std::int64_t fills = 0;
  std::int64_t partial_cancels = 0;
  std::int64_t unknown_orders = 0;
  std::int64_t divergences = 0;
  std::int64_t resyncs = 0;
  std::int64_t corrections = 0;
  std::int64_t rows_compared = 0;
  std::int64_t rows_matching = 0;
  std::int64_t first_mismatch = -1;  // seq of the first row that did not match
  std::int64_t deletes_known = 0;    // deletes and reduces of orders the book held
  std::int64_t expired = 0;          // orders cancelled by `expire_after`
};

// The rows produced since the tables were last taken, as columns.
struct Tables {
  std::vector<std::int64_t> fill_seq, fill_time, fill_price, fill_quantity;
  std::vector<std::uint64_t> fill_maker, fill_taker;
  std::vector<std::uint8_t> fill_maker_known, fill_taker_known, fill_aggressor, fill_code;

  std::vector<std::int64_t> bbo_seq, bbo_time, bbo_bid_price, bbo_bid_size, bbo_ask_price,
      bbo_ask_size;

  std::vector<std::int64_t> depth_seq, depth_time, depth_price, depth_size, depth_orders;
  std::vector<std::uint8_t> depth_side, depth_level;

  std::vector<std::int64_t> divergence_seq, divergence_time;
  std::vector<std::uint64_t> divergence_ref;
  std::vector<std::uint8_t> divergence_reason, divergence_code;

  void clear();
};

// Drives one OrderBook with decoded events through its own add and cancel,
// keyed by the data's order refs. The book's ids are made from the refs, so
// nothing that reaches the tables depends on random ids or the clock.
class Engine {
 public:
  explicit Engine(const Options& options);

  // The book before the first event, as one row of visible levels laid out
  // as the rows of `run`: one order per level, each an unknown part.
  void seed(const std::int64_t* row);

  // Replays a batch. `rows`, when not null, holds the visible book after each
  // event: `levels` groups of ask price, ask size, bid price, bid size.
  void run(const Events& events, const std::int64_t* rows);

  const Options& options() const { return options_; }
  const Counts& counts() const { return counts_; }
  Tables& tables() { return tables_; }
  const OrderBook& book() const { return book_; }
  // Orders the engine still follows by ref.
  std::size_t known_orders() const { return live_.size(); }

 private:
  struct Live {
    OrderId id;
    std::int64_t price;
    std::int64_t remaining;
    std::uint8_t side;
  };
  struct Part {
    OrderId id;
    std::int64_t remaining;
  };
  struct Event {
    std::int64_t time, seq, price, quantity;
    std::uint64_t ref, new_ref;
    std::uint8_t action, side, code;
  };
  struct IdHash {
    std::size_t operator()(const OrderId& id) const { return id.hash(); }
  };
  static std::uint64_t level_key(std::uint8_t side, std::int64_t price) {
    return static_cast<std::uint64_t>(price) << 1 | side;
  }

  OrderId make_id(bool known, std::uint64_t ref);
  static bool is_known(const OrderId& id);
  static std::uint64_t ref_of(const OrderId& id);
  Order make_order(const OrderId& id, std::uint8_t side, std::int64_t price, std::int64_t quantity,
                   std::int64_t time) const;

  void apply(const Event& e);
  void add(const Event& e, std::uint64_t ref, std::uint8_t side, std::int64_t price,
           std::int64_t quantity);
  void reduce(const Event& e, bool whole);
  void execute(const Event& e);
  void clear();
  void modify(const Event& e);
  void expire_oldest(std::uint64_t ref);

  // Enters `order` and settles every fill it made; returns the quantity filled.
  std::int64_t enter(const Event& e, const Order& order, bool taker_known, std::uint64_t taker_ref,
                     bool* other_maker, std::uint64_t named_ref);
  void settle_maker(const OrderId& maker, std::int64_t quantity);
  std::int64_t maker_price(const OrderId& maker) const;

  bool add_part(std::uint8_t side, std::int64_t price, std::int64_t quantity, std::int64_t time);
  // Takes up to `quantity` off the level's unknown part, newest first; the rest.
  std::int64_t take_parts(std::uint8_t side, std::int64_t price, std::int64_t quantity,
                          std::int64_t time);
  // Takes up to `quantity` off the level's known orders, newest first.
  void take_known(std::uint8_t side, std::int64_t price, std::int64_t quantity, std::int64_t time);
  std::int64_t level_total(std::uint8_t side, std::int64_t price) const;
  // Makes our level total `target`: unknown parts first, then the newest known.
  bool set_level(std::uint8_t side, std::int64_t price, std::int64_t target, std::int64_t time);

  void check_row(const Event& e, const std::int64_t* row);
  bool row_matches(const std::int64_t* row) const;
  void correct_row(const Event& e, const std::int64_t* row);
  void remember_row(const std::int64_t* row);

  void diverge(const Event& e, std::uint64_t ref, Reason reason);
  void sample(const Event& e);

  Options options_;
  OrderBook book_;
  Counts counts_;
  Tables tables_;
  std::vector<Fill> fills_;
  RefMap<Live> live_;                                               // by the data's ref
  std::unordered_map<std::uint64_t, std::vector<Part>> parts_;      // by level_key, oldest first
  std::unordered_map<OrderId, std::uint64_t, IdHash> part_levels_;  // part id -> level_key
  std::uint64_t serial_ = 0;
  std::vector<std::uint64_t> expiry_;  // the refs of the last `expire_after` adds, a ring
  std::int64_t adds_ = 0;
  std::int64_t samples_ = 0;  // points where the book was sampled
  // The last top of book written, to write a row only on a change.
  std::int64_t last_bbo_[4] = {-1, -1, -1, -1};
  bool have_bbo_ = false;
  // Of the previous row: whether each side showed every level, and its worst price.
  bool prev_full_[2] = {false, false};
  std::int64_t prev_worst_[2] = {0, 0};
};

}  // namespace kestrova::replay
