// kestrova_replay._native: the replay loop over batches of decoded columns,
// reached through the buffer protocol (numpy arrays, Arrow buffers, bytes).
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "module/python.hpp"
#include "module/ref.hpp"
#include "replay/itch_scan.hpp"
#include "replay/number_rows.hpp"
#include "replay/replay_engine.hpp"

namespace kestrova::replay {
namespace {

using surface::Ref;

// A Python error is already set.
struct ErrorSet {};

// Bad arguments from Python: a TypeError or ValueError with this text.
struct ArgumentError {
  PyObject* type;
  std::string message;
};

// The one place where failures become the exception Python sees.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const ErrorSet&) {
  } catch (const ArgumentError& error) {
    PyErr_SetString(error.type, error.message.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  return nullptr;
}

Ref check(PyObject* object) {
  if (object == nullptr) throw ErrorSet{};
  return Ref::steal(object);
}

// A contiguous view of one column, given back on every path out.
class Column {
 public:
  Column(PyObject* object, Py_ssize_t item_size, const char* name, int flags = 0) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | flags) != 0) throw ErrorSet{};
    if (view_.len % item_size != 0) {
      PyBuffer_Release(&view_);
      throw ArgumentError{PyExc_ValueError, std::string(name) + ": wrong item size"};
    }
    size_ = static_cast<std::size_t>(view_.len / item_size);
  }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;
  ~Column() { PyBuffer_Release(&view_); }

  std::size_t size() const { return size_; }
  template <class T>
  const T* data() const {
    return static_cast<const T*>(view_.buf);
  }
  template <class T>
  T* writable_data() const {
    return static_cast<T*>(view_.buf);
  }

 private:
  Py_buffer view_{};
  std::size_t size_ = 0;
};

// Lets other threads run for a scope, taking the interpreter back on every way out.
class ReleasedGil {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

struct EngineObject {
  PyObject_HEAD Engine* engine;
  bool running;  // a run has let go of the interpreter; no other call may touch the engine
};

Engine& engine_of(PyObject* self) {
  auto* object = reinterpret_cast<EngineObject*>(self);
  if (object->running) {
    throw ArgumentError{PyExc_RuntimeError, "the engine is running a batch in another thread"};
  }
  return *object->engine;
}

// Marks the engine busy for a run that lets other threads go on meanwhile.
class Running {
 public:
  explicit Running(PyObject* self) : object_(reinterpret_cast<EngineObject*>(self)) {
    object_->running = true;
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;
  ~Running() { object_->running = false; }

 private:
  EngineObject* object_;
};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> Ref {
    static const char* names[] = {"tick_size",       "levels",       "depth_every",
                                  "unknown_parts",   "recorded",     "correct",
                                  "sample_code_bit", "expire_after", nullptr};
    Options options;
    Py_ssize_t levels = 10;
    long long depth_every = 0;
    int unknown_parts = 0, recorded = 1, correct = 1;
    unsigned char sample_code_bit = 0;
    long long expire_after = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|dnLpppbL", const_cast<char**>(names),
                                     &options.tick_size, &levels, &depth_every, &unknown_parts,
                                     &recorded, &correct, &sample_code_bit, &expire_after)) {
      throw ErrorSet{};
    }
    options.sample_code_bit = sample_code_bit;
    if (levels < 1 || levels > 255) throw ArgumentError{PyExc_ValueError, "levels: 1 to 255"};
    if (depth_every < 0) throw ArgumentError{PyExc_ValueError, "depth_every: 0 or more"};
    if (expire_after < 0) throw ArgumentError{PyExc_ValueError, "expire_after: 0 or more"};
    options.expire_after = expire_after;
    if (!(options.tick_size > 0.0)) throw ArgumentError{PyExc_ValueError, "tick_size: positive"};
    options.levels = static_cast<std::size_t>(levels);
    options.depth_every = depth_every;
    options.unknown_parts = unknown_parts != 0;
    options.recorded = recorded != 0;
    options.correct = correct != 0;
    Ref self = check(type->tp_alloc(type, 0));
    auto* object = reinterpret_cast<EngineObject*>(self.get());
    object->engine = new Engine(options);
    object->running = false;
    return self;
  });
}

void engine_dealloc(PyObject* self) {
  delete reinterpret_cast<EngineObject*>(self)->engine;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* engine_seed(PyObject* self, PyObject* row) {
  return guarded([&]() -> Ref {
    Engine& engine = engine_of(self);
    Column column(row, 8, "row");
    if (column.size() != 4 * engine.options().levels) {
      throw ArgumentError{PyExc_ValueError, "row: 4 values per level"};
    }
    engine.seed(column.data<std::int64_t>());
    return Ref::borrow(Py_None);
  });
}

// run(time, seq, action, side, code, ref, new_ref, price, quantity, rows=None)
PyObject* engine_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> Ref {
    if (nargs != 9 && nargs != 10) {
      throw ArgumentError{PyExc_TypeError, "run() takes 9 columns and an optional rows array"};
    }
    Engine& engine = engine_of(self);
    Column time(args[0], 8, "time"), seq(args[1], 8, "seq"), action(args[2], 1, "action"),
        side(args[3], 1, "side"), code(args[4], 1, "code"), ref(args[5], 8, "ref"),
        new_ref(args[6], 8, "new_ref"), price(args[7], 8, "price"),
        quantity(args[8], 8, "quantity");
    const std::size_t n = time.size();
    for (const Column* c : {&seq, &action, &side, &code, &ref, &new_ref, &price, &quantity}) {
      if (c->size() != n) throw ArgumentError{PyExc_ValueError, "columns differ in length"};
    }
    Events events;
    events.size = n;
    events.time = time.data<std::int64_t>();
    events.seq = seq.data<std::int64_t>();
    events.action = action.data<std::uint8_t>();
    events.side = side.data<std::uint8_t>();
    events.code = code.data<std::uint8_t>();
    events.ref = ref.data<std::uint64_t>();
    events.new_ref = new_ref.data<std::uint64_t>();
    events.price = price.data<std::int64_t>();
    events.quantity = quantity.data<std::int64_t>();
    if (nargs == 10 && args[9] != Py_None) {
      Column rows(args[9], 8, "rows");
      if (rows.size() != n * 4 * engine.options().levels) {
        throw ArgumentError{PyExc_ValueError, "rows: 4 values per level for every event"};
      }
      Running running(self);
      ReleasedGil released;
      engine.run(events, rows.data<std::int64_t>());
    } else {
      Running running(self);
      ReleasedGil released;
      engine.run(events, nullptr);
    }
    return Ref::borrow(Py_None);
  });
}

template <class T>
void put_column(PyObject* dict, const char* name, const std::vector<T>& column) {
  Ref bytes = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.data()),
                                              static_cast<Py_ssize_t>(column.size() * sizeof(T))));
  if (PyDict_SetItemString(dict, name, bytes.get()) != 0) throw ErrorSet{};
}

// The rows made since the last call, as raw column bytes; the caller views
// them with numpy.frombuffer.
PyObject* engine_take_tables(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    Tables& t = engine_of(self).tables();
    Ref dict = check(PyDict_New());
    PyObject* d = dict.get();
    put_column(d, "fill_seq", t.fill_seq);
    put_column(d, "fill_time", t.fill_time);
    put_column(d, "fill_price", t.fill_price);
    put_column(d, "fill_quantity", t.fill_quantity);
    put_column(d, "fill_maker", t.fill_maker);
    put_column(d, "fill_taker", t.fill_taker);
    put_column(d, "fill_maker_known", t.fill_maker_known);
    put_column(d, "fill_taker_known", t.fill_taker_known);
    put_column(d, "fill_aggressor", t.fill_aggressor);
    put_column(d, "fill_code", t.fill_code);
    put_column(d, "bbo_seq", t.bbo_seq);
    put_column(d, "bbo_time", t.bbo_time);
    put_column(d, "bbo_bid_price", t.bbo_bid_price);
    put_column(d, "bbo_bid_size", t.bbo_bid_size);
    put_column(d, "bbo_ask_price", t.bbo_ask_price);
    put_column(d, "bbo_ask_size", t.bbo_ask_size);
    put_column(d, "depth_seq", t.depth_seq);
    put_column(d, "depth_time", t.depth_time);
    put_column(d, "depth_side", t.depth_side);
    put_column(d, "depth_level", t.depth_level);
    put_column(d, "depth_price", t.depth_price);
    put_column(d, "depth_size", t.depth_size);
    put_column(d, "depth_orders", t.depth_orders);
    put_column(d, "divergence_seq", t.divergence_seq);
    put_column(d, "divergence_time", t.divergence_time);
    put_column(d, "divergence_ref", t.divergence_ref);
    put_column(d, "divergence_reason", t.divergence_reason);
    put_column(d, "divergence_code", t.divergence_code);
    t.clear();
    return dict;
  });
}

void put_count(PyObject* dict, const char* name, long long value) {
  Ref number = check(PyLong_FromLongLong(value));
  if (PyDict_SetItemString(dict, name, number.get()) != 0) throw ErrorSet{};
}

PyObject* engine_counts(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    const Engine& engine = engine_of(self);
    const Counts& c = engine.counts();
    Ref dict = check(PyDict_New());
    PyObject* d = dict.get();
    put_count(d, "events", c.events);
    put_count(d, "fills", c.fills);
    put_count(d, "partial_cancels", c.partial_cancels);
    put_count(d, "unknown_orders", c.unknown_orders);
    put_count(d, "divergences", c.divergences);
    put_count(d, "resyncs", c.resyncs);
    put_count(d, "corrections", c.corrections);
    put_count(d, "rows_compared", c.rows_compared);
    put_count(d, "rows_matching", c.rows_matching);
    put_count(d, "first_mismatch", c.first_mismatch);
    put_count(d, "deletes_known", c.deletes_known);
    put_count(d, "expired", c.expired);
    put_count(d, "known_orders", static_cast<long long>(engine.known_orders()));
    put_count(d, "book_index", static_cast<long long>(engine.book().known_count()));
    return dict;
  });
}

// levels(side, n): up to n levels of one side (0 buy, 1 sell), best first,
// as (price_in_ticks, quantity, orders).
PyObject* engine_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> Ref {
    if (nargs != 2) throw ArgumentError{PyExc_TypeError, "levels() takes side and n"};
    const long side = PyLong_AsLong(args[0]);
    const Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (PyErr_Occurred()) throw ErrorSet{};
    if (side != 0 && side != 1) throw ArgumentError{PyExc_ValueError, "side: 0 or 1"};
    if (n < 0) throw ArgumentError{PyExc_ValueError, "n: 0 or more"};
    Ref list = check(PyList_New(0));
    engine_of(self).book().for_each_level(
        side == 0 ? OrderType::Buy : OrderType::Sell, static_cast<std::size_t>(n),
        [&](std::int64_t price, double quantity, std::uint32_t orders) {
          Ref row = check(Py_BuildValue("(Ldk)", static_cast<long long>(price), quantity,
                                        static_cast<unsigned long>(orders)));
          if (PyList_Append(list.get(), row.get()) != 0) throw ErrorSet{};
        });
    return list;
  });
}

// The book's own summary text and its resting counts and volumes.
PyObject* engine_book(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    const OrderBook& book = engine_of(self).book();
    const std::string text = book.summary();
    return check(Py_BuildValue(
        "{s:s#,s:n,s:n,s:d,s:d}", "summary", text.data(), static_cast<Py_ssize_t>(text.size()),
        "resting_buy", static_cast<Py_ssize_t>(book.resting_count(OrderType::Buy)), "resting_sell",
        static_cast<Py_ssize_t>(book.resting_count(OrderType::Sell)), "buy_volume",
        book.buy_volume(), "sell_volume", book.sell_volume()));
  });
}

PyMethodDef engine_methods[] = {
    {"seed", engine_seed, METH_O, "seed(row)\n--\n\nRests the book before the first event."},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_run)), METH_FASTCALL,
     "run(time, seq, action, side, code, ref, new_ref, price, quantity, rows=None)"},
    {"take_tables", engine_take_tables, METH_NOARGS, "Rows made since the last call, as bytes."},
    {"counts", engine_counts, METH_NOARGS, "Running counts."},
    {"levels", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_levels)),
     METH_FASTCALL, "levels(side, n)"},
    {"book", engine_book, METH_NOARGS, "The book's summary text, resting counts and volumes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>("Replays decoded events through one order book.")},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "kestrova_replay._native.Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT, engine_slots,
};

// itch_scan(data, slots, symbols, offset, seq, final, stop_at_orders): the
// whole ITCH messages at the front of `data`, decoded for the stocks whose
// locates map to a slot. `slots` (int16, one per locate) is updated as the
// directory names the chosen `symbols` (8 bytes each). Returns the columns
// as bytes, how far the scan got, and the reason it stopped on bad data.
PyObject* itch_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> Ref {
    if (nargs != 7) {
      throw ArgumentError{PyExc_TypeError,
                          "itch_scan() takes data, slots, symbols, offset, seq, final and "
                          "stop_at_orders"};
    }
    Column data(args[0], 1, "data");
    Column slots(args[1], 2, "slots", PyBUF_WRITABLE);
    Column symbols(args[2], 8, "symbols");
    if (slots.size() != 65536) throw ArgumentError{PyExc_ValueError, "slots: one per locate"};
    const unsigned long long offset = PyLong_AsUnsignedLongLong(args[3]);
    const long long seq = PyLong_AsLongLong(args[4]);
    if (PyErr_Occurred()) throw ErrorSet{};
    const int final = PyObject_IsTrue(args[5]), stop = PyObject_IsTrue(args[6]);
    if (final < 0 || stop < 0) throw ErrorSet{};
    itch::ScanOutput out;
    itch::ScanResult result;
    {
      // The scan reads plain memory only: other threads may run meanwhile.
      ReleasedGil released;
      result = itch::scan({data.data<std::uint8_t>(), data.size()},
                          {slots.writable_data<std::int16_t>(), slots.size()},
                          {symbols.data<itch::Symbol>(), symbols.size()}, offset, seq, final != 0,
                          stop != 0, out);
    }
    Ref dict = check(PyDict_New());
    PyObject* d = dict.get();
    put_count(d, "consumed", static_cast<long long>(result.consumed));
    put_count(d, "messages", result.messages);
    put_count(d, "orders_seen", result.orders_seen);
    put_count(d, "error_offset", static_cast<long long>(result.error_offset));
    Ref reason = result.failed
                     ? check(PyUnicode_FromStringAndSize(
                           result.reason.data(), static_cast<Py_ssize_t>(result.reason.size())))
                     : Ref::borrow(Py_None);
    if (PyDict_SetItemString(d, "reason", reason.get()) != 0) throw ErrorSet{};
    put_column(d, "time", out.time);
    put_column(d, "seq", out.seq);
    put_column(d, "action", out.action);
    put_column(d, "side", out.side);
    put_column(d, "code", out.code);
    put_column(d, "ref", out.ref);
    put_column(d, "new_ref", out.new_ref);
    put_column(d, "price", out.price);
    put_column(d, "quantity", out.quantity);
    put_column(d, "slot", out.slot);
    put_column(d, "trade_seq", out.trade_seq);
    put_column(d, "trade_time", out.trade_time);
    put_column(d, "trade_code", out.trade_code);
    put_column(d, "trade_ref", out.trade_ref);
    put_column(d, "trade_side", out.trade_side);
    put_column(d, "trade_shares", out.trade_shares);
    put_column(d, "trade_price", out.trade_price);
    put_column(d, "trade_match", out.trade_match);
    put_column(d, "trade_cross", out.trade_cross);
    put_column(d, "trade_slot", out.trade_slot);
    put_column(d, "notice_seq", out.notice_seq);
    put_column(d, "notice_time", out.notice_time);
    put_column(d, "notice_code", out.notice_code);
    put_column(d, "notice_state", out.notice_state);
    put_column(d, "notice_reason", out.notice_reason);
    put_column(d, "notice_slot", out.notice_slot);
    put_column(d, "directory_locate", out.directory_locate);
    put_column(d, "directory_symbol", out.directory_symbol);
    const std::vector<std::int64_t> counts(out.type_counts.begin(), out.type_counts.end());
    put_column(d, "type_counts", counts);
    return dict;
  });
}

// read_number_rows(data, columns, keep, decimal_first, final): the whole
// lines of comma-separated numbers at the front of `data`. Returns the kept
// columns row-major as int64 bytes, the first column as float64 bytes (or
// None), the rows read, the bytes they took, and the first bad line's index
// among the lines read (-1 for none).
PyObject* read_number_rows_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> Ref {
    if (nargs != 5) {
      throw ArgumentError{PyExc_TypeError,
                          "read_number_rows() takes data, columns, keep, decimal_first and final"};
    }
    Column data(args[0], 1, "data");
    const Py_ssize_t columns = PyLong_AsSsize_t(args[1]);
    const Py_ssize_t keep = PyLong_AsSsize_t(args[2]);
    if (PyErr_Occurred()) throw ErrorSet{};
    if (columns < 1 || keep < 0 || keep > columns) {
      throw ArgumentError{PyExc_ValueError, "columns: 1 or more; keep: 0 to columns"};
    }
    const int decimal_first = PyObject_IsTrue(args[3]);
    const int final = PyObject_IsTrue(args[4]);
    if (decimal_first < 0 || final < 0) throw ErrorSet{};
    NumberRows rows;
    {
      ReleasedGil released;
      rows = read_number_rows(std::string_view(data.data<char>(), data.size()),
                              static_cast<std::size_t>(columns), static_cast<std::size_t>(keep),
                              decimal_first != 0, final != 0);
    }
    Ref values = check(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(rows.values.data()),
        static_cast<Py_ssize_t>(rows.values.size() * sizeof(std::int64_t))));
    Ref first = decimal_first ? check(PyBytes_FromStringAndSize(
                                    reinterpret_cast<const char*>(rows.first.data()),
                                    static_cast<Py_ssize_t>(rows.first.size() * sizeof(double))))
                              : Ref::borrow(Py_None);
    return check(Py_BuildValue(
        "(OOnnL)", values.get(), first.get(), static_cast<Py_ssize_t>(rows.rows),
        static_cast<Py_ssize_t>(rows.consumed), static_cast<long long>(rows.bad_row)));
  });
}

PyMethodDef module_methods[] = {
    {"read_number_rows",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_number_rows_call)),
     METH_FASTCALL,
     "read_number_rows(data, columns, keep, decimal_first, final)\n--\n\n"
     "Reads the whole lines of comma-separated numbers at the front of data."},
    {"itch_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(itch_scan)),
     METH_FASTCALL,
     "itch_scan(data, slots, symbols, offset, seq, final, stop_at_orders)\n--\n\n"
     "Decodes the whole ITCH messages at the front of data for the chosen stocks."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The replay loop in native code.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kestrova::replay

PyMODINIT_FUNC PyInit__native() {
  using namespace kestrova::replay;
  PyObject* module = PyModule_Create(&native_module);
  if (module == nullptr) return nullptr;
  PyObject* type = PyType_FromSpec(&engine_spec);
  if (type == nullptr || PyModule_AddObject(module, "Engine", type) != 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
