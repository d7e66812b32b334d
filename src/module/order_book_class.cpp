#include <optional>
#include <utility>
#include <vector>

#include "book/order_book.hpp"
#include "module/class_registry.hpp"
#include "module/members.hpp"
#include "module/parameters.hpp"
#include "module/recent_book.hpp"

namespace kestrova::surface {

namespace {

using Book = kestrova::OrderBook;

PyObject* book_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    auto bound = bind_arguments<1>(parameters::kBookNew, args, kwargs);
    double tick_size =
        bound[0] == nullptr ? parameters::kDefaultTickSize : convert<double>(bound[0], "tick_size");
    return make_instance(type, Book(tick_size));
  });
}

PyObject* book_create_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<3>(parameters::kCreateOrder, args, nargs, kwnames);
    auto book = SharedBorrow<Book>::of(self);
    auto side = convert<Copy<OrderType>>(bound[0], "side");
    auto price = convert<double>(bound[1], "price");
    auto quantity = convert<double>(bound[2], "quantity");
    return to_python(book->create_order(side, price, quantity));
  });
}

// The fills of one add, in a buffer that outlives the call, so that an add
// that fills allocates no vector. Every call holds the interpreter lock; a call
// that finds the buffer taken (an add re-entered from a finalizer) uses its own.
class FillBuffer {
 public:
  FillBuffer() : own_(taken_) {
    if (own_) local_.emplace();
    taken_ = true;
  }
  FillBuffer(const FillBuffer&) = delete;
  FillBuffer& operator=(const FillBuffer&) = delete;
  ~FillBuffer() {
    if (own_) return;
    if (!shared_.empty()) release_fills();
    taken_ = false;
  }

  std::vector<Fill>& operator*() { return own_ ? *local_ : shared_; }

 private:
  static constexpr std::size_t kKeptCapacity = 1024;

  [[gnu::noinline]] static void release_fills() {
    shared_.clear();
    // A rare huge match does not keep its memory for the life of the process.
    if (shared_.capacity() > kKeptCapacity) std::vector<Fill>().swap(shared_);
  }

  static inline std::vector<Fill> shared_;
  static inline bool taken_ = false;
  bool own_;  // the shared buffer was taken by a call further up
  std::optional<std::vector<Fill>> local_;
};

PyObject* book_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<1>(parameters::kAdd, args, nargs, kwnames);
    auto book = ExclusiveBorrow<Book>::of(self);
    auto incoming = convert<Copy<Order>>(bound[0], "incoming_order");
    recent_book = &*book;
    FillBuffer buffer;
    std::vector<Fill>& fills = *buffer;
    book->add(incoming, fills);
    return to_python_list(fills.size(), [&](auto append) {
      for (Fill& fill : fills) append(std::move(fill));
    });
  });
}

PyObject* book_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<1>(parameters::kCancel, args, nargs, kwnames);
    auto book = ExclusiveBorrow<Book>::of(self);
    auto order_id = convert<Text>(bound[0], "order_id");
    return to_python(book->cancel(order_id));
  });
}

PyObject* book_get_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<1>(parameters::kGetOrder, args, nargs, kwnames);
    auto book = SharedBorrow<Book>::of(self);
    auto order_id = convert<Text>(bound[0], "order_id");
    std::optional<Order> found = book->get_order(order_id);
    return found ? to_python(*found) : none();
  });
}

PyObject* book_update_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&] {
    auto bound = bind_arguments<1>(parameters::kUpdateOrder, args, nargs, kwnames);
    auto book = ExclusiveBorrow<Book>::of(self);
    auto order = convert<Shared<Order>>(bound[0], "order");
    book->update_order(*order);
    return none();
  });
}

template <auto Query>
PyObject* book_query(PyObject* self, PyObject*) {
  return guarded_call([&] {
    auto book = SharedBorrow<Book>::of(self);
    return to_python(((*book).*Query)());
  });
}

template <OrderType Side>
PyObject* book_resting_orders(PyObject* self, void*) {
  return guarded_call([&] {
    auto book = SharedBorrow<Book>::of(self);
    return to_python_list(book->resting_count(Side), [&](auto append) {
      book->for_each_resting(Side, [&](const Order& order) { append(order); });
    });
  });
}

PyObject* book_tick_size(PyObject* self, void*) {
  return guarded_call([&] {
    auto book = SharedBorrow<Book>::of(self);
    return to_python(book->tick_size());
  });
}

std::string book_summary(const Book& book) { return book.summary(); }

void book_dealloc(PyObject* self) {
  if (recent_book == &instance_cast<Book>(self)->value) recent_book = nullptr;
  dealloc_instance<Book>(self);
}

PyMethodDef book_methods[] = {
    {"create_order", fast_method(book_create_order), METH_FASTCALL | METH_KEYWORDS,
     "create_order(self, side, price, quantity)\n--\n\nCreates an order (but does not add to the "
     "book) based off the book's tick size."},
    {"add", fast_method(book_add), METH_FASTCALL | METH_KEYWORDS,
     "add(self, order)\n--\n\nAdds an order to the book, attempting to match it with resting "
     "orders."},
    {"cancel", fast_method(book_cancel), METH_FASTCALL | METH_KEYWORDS,
     "cancel(self, order_id)\n--\n\nCancels an order by its ID."},
    {"get_order", fast_method(book_get_order), METH_FASTCALL | METH_KEYWORDS,
     "get_order(self, order_id)\n--\n\nRetrieves an order by its ID. Returns None if the order is "
     "not found."},
    {"update_order", fast_method(book_update_order), METH_FASTCALL | METH_KEYWORDS,
     "update_order($self, order)\n--\n\nHelper method to update an order in the `orders` map."},
    {"best_bid", book_query<&Book::best_bid>, METH_NOARGS,
     "best_bid($self)\n--\n\nHelper method to get best bid"},
    {"best_ask", book_query<&Book::best_ask>, METH_NOARGS,
     "best_ask($self)\n--\n\nHelper method to get best ask"},
    {"buy_volume", book_query<&Book::buy_volume>, METH_NOARGS,
     "buy_volume($self)\n--\n\nHelper method to calculate total buy volume"},
    {"sell_volume", book_query<&Book::sell_volume>, METH_NOARGS,
     "sell_volume($self)\n--\n\nHelper method to calculate total sell volume"},
    {"spread", book_query<&Book::spread>, METH_NOARGS,
     "spread($self)\n--\n\nCalculate the current spread in the order book.\nReturns None if there "
     "are no orders on either side.\nThe spread is returned in the same units as the prices (not "
     "ticks)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef book_properties[] = {
    {"buy_orders", book_resting_orders<OrderType::Buy>, nullptr, "Get a list of all buy orders",
     nullptr},
    {"sell_orders", book_resting_orders<OrderType::Sell>, nullptr, "Get a list of all sell orders",
     nullptr},
    {"tick_size", book_tick_size, nullptr, "Return the tick size for informational purposes",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot book_slots[] = {
    {Py_tp_new, slot_function(book_new)},
    {Py_tp_repr, slot_function(text_form<Book, book_summary>)},
    {Py_tp_methods, book_methods},
    {Py_tp_getset, book_properties},
    {Py_tp_dealloc, slot_function(book_dealloc)},
};

}  // namespace

const ClassDefinition& order_book_class() {
  static const ClassDefinition definition{
      "OrderBook",
      "builtins.OrderBook",
      "(tick_size=0.01)",
      "Represents the main order book for matching buy and sell orders.",
      sizeof(Instance<Book>),
      book_slots,
      true,
      nullptr,
  };
  return definition;
}

}  // namespace kestrova::surface
