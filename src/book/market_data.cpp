#include "book/order_book.hpp"
#include "model/failure.hpp"
#include "model/number_text.hpp"

namespace kestrova {

namespace {

void append_best(std::string& text, const std::optional<std::pair<std::int64_t, double>>& best,
                 double tick_size) {
  if (!best) {
    text += "None";
    return;
  }
  append_fixed(text, best->second, 2);
  text += " @ ";
  append_shortest(text, static_cast<double>(best->first) * tick_size);
}

}  // namespace

std::optional<std::pair<std::int64_t, double>> OrderBook::best(const BookSide& side) {
  if (side.empty()) return std::nullopt;
  std::uint32_t front = side.best_front();
  if (front == kNoIndex) throw InvariantFailure("Queue is not empty if it exists in map");
  return std::pair{side.best_price(), side.at(front).quantity};
}

std::optional<double> OrderBook::spread() const {
  if (bids_.empty() || asks_.empty()) return std::nullopt;
  // Every resting price is positive, so the difference cannot overflow.
  std::int64_t difference = asks_.best_price() - bids_.best_price();
  return static_cast<double>(difference) * tick_size_;
}

std::string OrderBook::summary() const {
  std::string text = "Best Bid: ";
  append_best(text, best_bid(), tick_size_);
  text += ", Best Ask: ";
  append_best(text, best_ask(), tick_size_);
  text += " (Spread: ";
  if (auto gap = spread()) {
    append_fixed(text, *gap, 4);
  } else {
    text += "None";
  }
  text += ")\nOpen Buy Volume: ";
  append_fixed(text, buy_volume(), 2);
  text += ", Open Sell Volume: ";
  append_fixed(text, sell_volume(), 2);
  return text;
}

}  // namespace kestrova
