// kestrova_replay._native: the replay loop over batches of decoded columns,
// reached through the buffer protocol (numpy arrays, Arrow buffers, bytes).
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "module/python.hpp"
#include "module/ref.hpp"
#include "replay/itch_pipeline.hpp"
#include "replay/lobster_messages.hpp"
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
    std::optional<Column> rows;
    if (nargs == 10 && args[9] != Py_None) {
      rows.emplace(args[9], 8, "rows");
      if (rows->size() != n * 4 * engine.options().levels) {
        throw ArgumentError{PyExc_ValueError, "rows: 4 values per level for every event"};
      }
    }
    Running running(self);
    ReleasedGil released;
    engine.run(events, rows ? rows->data<std::int64_t>() : nullptr);
    return Ref::borrow(Py_None);
  });
}

template <class T>
void put_column(PyObject* dict, const char* name, const std::vector<T>& column) {
  Ref bytes = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(column.data()),
                                              static_cast<Py_ssize_t>(column.size() * sizeof(T))));
  if (PyDict_SetItemString(dict, name, bytes.get()) != 0) throw ErrorSet{};
}

// An engine's table rows as raw column bytes; the caller views them with
// numpy.frombuffer.
void put_tables(PyObject* d, const Tables& t) {
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
}

// The rows made since the last call.
PyObject* engine_take_tables(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    Tables& t = engine_of(self).tables();
    Ref dict = check(PyDict_New());
    put_tables(dict.get(), t);
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

// The Engine type, to check what an ITCH pipeline is given to drive.
PyObject* engine_type = nullptr;

struct PipelineObject {
  PyObject_HEAD itch::Pipeline* pipeline;
  // The Engine objects its workers drive, kept alive and marked running until
  // its threads are done, so that no call from Python touches them meanwhile.
  PyObject* engines;
};

itch::Pipeline& pipeline_of(PyObject* self) {
  return *reinterpret_cast<PipelineObject*>(self)->pipeline;
}

// Marks each engine of the tuple running, or gives them all back.
void hold_engines(PyObject* engines, bool held) {
  if (engines == nullptr) return;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(engines); ++i) {
    reinterpret_cast<EngineObject*>(PyTuple_GET_ITEM(engines, i))->running = held;
  }
}

// Once the pipeline's threads are done, its engines may be used again.
void let_go(PyObject* self) {
  auto* object = reinterpret_cast<PipelineObject*>(self);
  hold_engines(object->engines, false);
  Py_CLEAR(object->engines);
}

// ItchPipeline(fd, symbols, block_bytes, batch_events, stop_at_orders,
// engines=None, workers=1)
PyObject* pipeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> Ref {
    static const char* names[] = {"fd",           "symbols",        "block_bytes",
                                  "batch_events", "stop_at_orders", "engines",
                                  "workers",      nullptr};
    int fd = -1, stop_at_orders = 0;
    PyObject *symbols = nullptr, *engines = Py_None;
    Py_ssize_t block_bytes = 0, batch_events = 0, workers = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iOnnp|On", const_cast<char**>(names), &fd,
                                     &symbols, &block_bytes, &batch_events, &stop_at_orders,
                                     &engines, &workers)) {
      throw ErrorSet{};
    }
    if (block_bytes < 1 || batch_events < 1 || workers < 1) {
      throw ArgumentError{PyExc_ValueError, "block_bytes, batch_events, workers: 1 or more"};
    }
    itch::PipelineOptions options;
    options.fd = fd;
    options.block_bytes = static_cast<std::size_t>(block_bytes);
    options.batch_events = static_cast<std::size_t>(batch_events);
    options.stop_at_orders = stop_at_orders != 0;
    options.workers = static_cast<std::size_t>(workers);
    // The interpreter's own threads: they link against whichever glibc it
    // was built for, and never run Python here.
    options.launch = [](void (*body)(void*), void* argument) {
      return PyThread_start_new_thread(body, argument) != PYTHREAD_INVALID_THREAD_ID;
    };
    {
      Column names_column(symbols, 8, "symbols");
      const auto* first = names_column.data<itch::Symbol>();
      options.symbols.assign(first, first + names_column.size());
    }
    if (options.symbols.size() > 32767)
      throw ArgumentError{PyExc_ValueError, "symbols: 32767 at most"};
    if (engines != Py_None) {
      if (!PyTuple_Check(engines) ||
          static_cast<std::size_t>(PyTuple_GET_SIZE(engines)) != options.symbols.size()) {
        throw ArgumentError{PyExc_TypeError, "engines: a tuple of one Engine per symbol"};
      }
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(engines); ++i) {
        PyObject* engine = PyTuple_GET_ITEM(engines, i);
        if (!PyObject_TypeCheck(engine, reinterpret_cast<PyTypeObject*>(engine_type))) {
          throw ArgumentError{PyExc_TypeError, "engines: a tuple of one Engine per symbol"};
        }
        for (Py_ssize_t j = 0; j < i; ++j) {
          if (PyTuple_GET_ITEM(engines, j) == engine) {
            throw ArgumentError{PyExc_ValueError, "engines: each symbol its own Engine"};
          }
        }
        options.engines.push_back(&engine_of(engine));  // refuses an engine that is running
      }
    }
    Ref self = check(type->tp_alloc(type, 0));
    auto* object = reinterpret_cast<PipelineObject*>(self.get());
    if (engines != Py_None) {
      object->engines = Py_NewRef(engines);
      hold_engines(engines, true);
    }
    object->pipeline = new itch::Pipeline(std::move(options));
    return self;
  });
}

void pipeline_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<PipelineObject*>(self);
  // Stops and joins its threads, which never take the interpreter.
  delete object->pipeline;
  let_go(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// feed(data, position): the next bytes of the stream; False once stopped.
PyObject* pipeline_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> Ref {
    if (nargs != 2) throw ArgumentError{PyExc_TypeError, "feed() takes data and position"};
    Column data(args[0], 1, "data");
    const unsigned long long position = PyLong_AsUnsignedLongLong(args[1]);
    if (PyErr_Occurred()) throw ErrorSet{};
    bool fed;
    {
      ReleasedGil released;
      fed = pipeline_of(self).feed({data.data<std::uint8_t>(), data.size()}, position);
    }
    return Ref::borrow(fed ? Py_True : Py_False);
  });
}

PyObject* pipeline_finish(PyObject* self, PyObject* clean) {
  return guarded([&]() -> Ref {
    const int is_clean = PyObject_IsTrue(clean);
    if (is_clean < 0) throw ErrorSet{};
    {
      ReleasedGil released;
      pipeline_of(self).finish(is_clean != 0);
    }
    return Ref::borrow(Py_None);
  });
}

// The next stock's rows as raw column bytes, with the engine's tables made
// from them when the pipeline drives the engines (then of the events only
// the actions come back); None at the end.
PyObject* pipeline_next(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    itch::Pipeline& pipeline = pipeline_of(self);
    itch::Piece piece;
    using Wait = Channel<itch::Piece>::Wait;
    Wait wait;
    do {
      {
        ReleasedGil released;
        wait = pipeline.next(piece, std::chrono::milliseconds(100));
      }
      // A scan for a rare stock may go a long time between pieces: Ctrl-C is
      // seen meanwhile.
      if (wait == Wait::kTimedOut && PyErr_CheckSignals() != 0) throw ErrorSet{};
    } while (wait == Wait::kTimedOut);
    if (wait == Wait::kEnded) return Ref::borrow(Py_None);
    const itch::StockRows& r = piece.rows;
    Ref dict = check(PyDict_New());
    PyObject* d = dict.get();
    put_count(d, "slot", piece.slot);
    put_count(d, "position", static_cast<long long>(piece.position));
    put_column(d, "action", r.action);
    if (piece.has_tables) {
      Ref tables = check(PyDict_New());
      put_tables(tables.get(), piece.tables);
      if (PyDict_SetItemString(d, "tables", tables.get()) != 0) throw ErrorSet{};
    } else {
      put_column(d, "time", r.time);
      put_column(d, "seq", r.seq);
      put_column(d, "side", r.side);
      put_column(d, "code", r.code);
      put_column(d, "ref", r.ref);
      put_column(d, "new_ref", r.new_ref);
      put_column(d, "price", r.price);
      put_column(d, "quantity", r.quantity);
    }
    put_column(d, "trade_seq", r.trade_seq);
    put_column(d, "trade_time", r.trade_time);
    put_column(d, "trade_code", r.trade_code);
    put_column(d, "trade_ref", r.trade_ref);
    put_column(d, "trade_side", r.trade_side);
    put_column(d, "trade_shares", r.trade_shares);
    put_column(d, "trade_price", r.trade_price);
    put_column(d, "trade_match", r.trade_match);
    put_column(d, "trade_cross", r.trade_cross);
    put_column(d, "notice_seq", r.notice_seq);
    put_column(d, "notice_time", r.notice_time);
    put_column(d, "notice_code", r.notice_code);
    put_column(d, "notice_state", r.notice_state);
    put_column(d, "notice_reason", r.notice_reason);
    pipeline.recycle(std::move(piece.rows));
    return dict;
  });
}

PyObject* pipeline_stop(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    {
      ReleasedGil released;
      pipeline_of(self).stop();
      pipeline_of(self).join();
    }
    let_go(self);
    return Ref::borrow(Py_None);
  });
}

Ref optional_text(const std::string& text, bool present) {
  if (!present) return Ref::borrow(Py_None);
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void put_item(PyObject* dict, const char* name, const Ref& value) {
  if (PyDict_SetItemString(dict, name, value.get()) != 0) throw ErrorSet{};
}

// How the scan ended, once every thread is done: how far it got, the message
// counts by type, the stock directory, and why it stopped if it failed.
PyObject* pipeline_outcome(PyObject* self, PyObject*) {
  return guarded([&]() -> Ref {
    itch::Pipeline& pipeline = pipeline_of(self);
    {
      ReleasedGil released;
      pipeline.join();
    }
    let_go(self);
    const itch::Scanner& scanner = pipeline.scanner();
    const itch::Outcome& outcome = pipeline.outcome();
    Ref dict = check(PyDict_New());
    PyObject* d = dict.get();
    put_count(d, "offset", static_cast<long long>(scanner.offset()));
    put_count(d, "messages", scanner.messages());
    put_count(d, "orders_seen", scanner.orders_seen());
    put_count(d, "error_offset", static_cast<long long>(scanner.failure().offset));
    put_item(d, "reason", optional_text(scanner.failure().reason, scanner.failure().failed));
    put_count(d, "read_error", outcome.read_error);
    put_count(d, "abandoned", outcome.abandoned);
    put_item(d, "internal", optional_text(outcome.internal, !outcome.internal.empty()));
    const std::vector<std::int64_t> counts(scanner.type_counts().begin(),
                                           scanner.type_counts().end());
    put_column(d, "type_counts", counts);
    put_column(d, "directory_locate", scanner.directory_locates());
    put_column(d, "directory_symbol", scanner.directory_symbols());
    return dict;
  });
}

PyMethodDef pipeline_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_feed)),
     METH_FASTCALL, "feed(data, position)\n--\n\nHands over the next bytes; False once stopped."},
    {"finish", pipeline_finish, METH_O,
     "finish(clean)\n--\n\nNo more data; unless clean, the data just ended."},
    {"next", pipeline_next, METH_NOARGS, "The next stock's rows, or None at the end."},
    {"stop", pipeline_stop, METH_NOARGS, "Ends every thread early."},
    {"outcome", pipeline_outcome, METH_NOARGS, "How the scan ended, once its threads are done."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pipeline_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pipeline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pipeline_dealloc)},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_doc,
     const_cast<char*>("Reads, scans and replays an ITCH stream on threads of its own.")},
    {0, nullptr},
};

PyType_Spec pipeline_spec = {
    "kestrova_replay._native.ItchPipeline",
    sizeof(PipelineObject),
    0,
    Py_TPFLAGS_DEFAULT,
    pipeline_slots,
};

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

// read_lobster_messages(data, final, first_seq, last_time, last_seconds, time,
// seq, action, side, code, ref, price, quantity): decodes the message rows at
// the front of `data` into the given writable columns, all of one length.
// Returns the rows decoded, the bytes they took, whether decoding stopped at a
// line it leaves to the general reader, and the last row's time in ns and as
// a double.
PyObject* read_lobster_messages_call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> Ref {
    if (nargs != 13) {
      throw ArgumentError{PyExc_TypeError,
                          "read_lobster_messages() takes data, final, first_seq, last_time, "
                          "last_seconds and 8 columns"};
    }
    Column data(args[0], 1, "data");
    const int final = PyObject_IsTrue(args[1]);
    const long long first_seq = PyLong_AsLongLong(args[2]);
    const long long last_time = PyLong_AsLongLong(args[3]);
    const double last_seconds = PyFloat_AsDouble(args[4]);
    if (final < 0 || PyErr_Occurred()) throw ErrorSet{};
    Column time(args[5], 8, "time", PyBUF_WRITABLE), seq(args[6], 8, "seq", PyBUF_WRITABLE),
        action(args[7], 1, "action", PyBUF_WRITABLE), side(args[8], 1, "side", PyBUF_WRITABLE),
        code(args[9], 1, "code", PyBUF_WRITABLE), ref(args[10], 8, "ref", PyBUF_WRITABLE),
        price(args[11], 8, "price", PyBUF_WRITABLE),
        quantity(args[12], 8, "quantity", PyBUF_WRITABLE);
    const std::size_t capacity = time.size();
    for (const Column* column : {&seq, &action, &side, &code, &ref, &price, &quantity}) {
      if (column->size() != capacity) {
        throw ArgumentError{PyExc_ValueError, "columns of different lengths"};
      }
    }
    const MessageColumns out{time.writable_data<std::int64_t>(),
                             seq.writable_data<std::int64_t>(),
                             action.writable_data<std::uint8_t>(),
                             side.writable_data<std::uint8_t>(),
                             code.writable_data<std::uint8_t>(),
                             ref.writable_data<std::uint64_t>(),
                             price.writable_data<std::int64_t>(),
                             quantity.writable_data<std::int64_t>(),
                             capacity};
    MessageRead read;
    {
      ReleasedGil released;
      read = read_lobster_messages(std::string_view(data.data<char>(), data.size()), final != 0,
                                   first_seq, last_time, last_seconds, out);
    }
    return check(Py_BuildValue("(nnOLd)", static_cast<Py_ssize_t>(read.rows),
                               static_cast<Py_ssize_t>(read.consumed),
                               read.stopped ? Py_True : Py_False,
                               static_cast<long long>(read.last_time), read.last_seconds));
  });
}

PyMethodDef module_methods[] = {
    {"read_number_rows",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_number_rows_call)),
     METH_FASTCALL,
     "read_number_rows(data, columns, keep, decimal_first, final)\n--\n\n"
     "Reads the whole lines of comma-separated numbers at the front of data."},
    {"read_lobster_messages",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_lobster_messages_call)),
     METH_FASTCALL,
     "read_lobster_messages(data, final, first_seq, last_time, last_seconds, time, seq, "
     "action, side, code, ref, price, quantity)\n--\n\n"
     "Decodes the LOBSTER message rows at the front of data into event columns."},
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
  engine_type = type;  // the module holds it
  type = PyType_FromSpec(&pipeline_spec);
  if (type == nullptr || PyModule_AddObject(module, "ItchPipeline", type) != 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
