#include "replay/itch_pipeline.hpp"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace kestrova::replay::itch {

namespace {

// Room before each block's data for the tail of the block before, a message
// the block's end cut (shorter than the longest message). A whole page, so
// that reads land page-aligned: the kernel copies into a buffer that is not
// aligned to a cache line several times slower.
constexpr std::size_t kHead = 4096;
constexpr std::size_t kBlocks = 4;

}  // namespace

struct Pipeline::Block {
  explicit Block(std::size_t bytes) {
    const std::size_t total = (kHead + bytes + kHead - 1) / kHead * kHead;
    memory = static_cast<std::uint8_t*>(std::aligned_alloc(kHead, total));
    if (memory == nullptr) throw std::bad_alloc();
  }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() { std::free(memory); }

  std::uint8_t* data() const { return memory + kHead; }

  std::uint8_t* memory = nullptr;
  std::size_t size = 0;
  std::uint64_t position = 0;
  bool final = false;
  bool abandoned = false;
};

Pipeline::Pipeline(PipelineOptions options)
    : options_(std::move(options)),
      scanner_(options_.symbols, options_.stop_at_orders, options_.batch_events,
               [this](std::uint16_t slot) { hand_on(slot); }),
      free_(kBlocks),
      filled_(kBlocks),
      out_(4 + 2 * options_.workers) {
  for (std::size_t i = 0; i < (options_.fd >= 0 ? 2 : kBlocks); ++i) {
    blocks_.push_back(std::make_unique<Block>(options_.block_bytes));
    free_.push(blocks_.back().get());
  }
  std::size_t workers = 0;
  if (!options_.engines.empty()) {
    workers = std::clamp<std::size_t>(options_.workers, 1, options_.engines.size());
  }
  for (std::size_t i = 0; i < workers; ++i) work_.push_back(std::make_unique<Channel<Piece>>(2));
  workers_left_ = workers;
  try {
    start(&Pipeline::scan_loop, 0);
    for (std::size_t i = 0; i < workers; ++i) start(&Pipeline::work_loop, i);
  } catch (...) {
    stop();
    join();
    throw;
  }
}

void Pipeline::start(void (Pipeline::*loop)(std::size_t), std::size_t index) {
  tasks_.push_back(std::make_unique<Task>(Task{this, loop, index}));
  {
    std::lock_guard lock(running_mutex_);
    ++running_;
  }
  if (!options_.launch || !options_.launch(&Pipeline::run_task, tasks_.back().get())) {
    std::lock_guard lock(running_mutex_);
    --running_;
    throw std::runtime_error("cannot start a thread");
  }
}

void Pipeline::run_task(void* argument) {
  const Task& task = *static_cast<Task*>(argument);
  Pipeline& pipeline = *task.pipeline;
  // Named, so that a profile or a debugger tells the threads apart (prctl,
  // as pthread_setname_np would need a newer glibc).
  prctl(PR_SET_NAME, task.loop == &Pipeline::scan_loop ? "kestrova-scan" : "kestrova-book");
  (pipeline.*task.loop)(task.index);
  // The last thing a thread does: once the count is 0 the pipeline may go.
  std::lock_guard lock(pipeline.running_mutex_);
  if (--pipeline.running_ == 0) pipeline.all_done_.notify_all();
}

Pipeline::~Pipeline() {
  stop();
  join();
}

Pipeline::Block* Pipeline::take_free() {
  Block* block = nullptr;
  return free_.pop(block) ? block : nullptr;
}

void Pipeline::fill(Block* block) {
  std::size_t size = 0;
  bool end = false;
  int error = 0;
  while (size < options_.block_bytes) {
    const ssize_t n = ::read(options_.fd, block->data() + size, options_.block_bytes - size);
    if (n > 0) {
      size += static_cast<std::size_t>(n);
    } else if (n == 0) {
      end = true;
      break;
    } else if (errno != EINTR) {
      error = errno;
      end = true;
      break;
    }
  }
  read_ += size;
  block->size = size;
  block->position = read_;
  block->final = end;
  block->abandoned = error != 0;
  if (error != 0) {
    std::lock_guard lock(outcome_mutex_);
    outcome_.read_error = error;
  }
}

Pipeline::Block* Pipeline::next_block() {
  if (options_.fd < 0) {
    Block* block = nullptr;
    return filled_.pop(block) ? block : nullptr;
  }
  if (stopping_) return nullptr;
  // Two blocks in turn: the one before still holds the tail to carry over.
  Block* block = blocks_[turn_++ % 2].get();
  fill(block);
  return block;
}

bool Pipeline::feed(std::span<const std::uint8_t> data, std::uint64_t position) {
  while (!data.empty()) {
    Block* block = take_free();
    if (block == nullptr) return false;
    const std::size_t n = std::min(data.size(), options_.block_bytes);
    std::memcpy(block->data(), data.data(), n);
    block->size = n;
    block->position = position;
    block->final = block->abandoned = false;
    fed_position_ = position;
    if (!filled_.push(block)) return false;
    data = data.subspan(n);
  }
  return !stopping_;
}

void Pipeline::finish(bool clean) {
  Block* block = take_free();
  if (block == nullptr) return;
  block->size = 0;
  block->position = fed_position_;
  block->final = true;
  block->abandoned = !clean;
  filled_.push(block);
}

void Pipeline::scan_loop(std::size_t) {
  try {
    Block* previous = nullptr;
    const std::uint8_t* tail = nullptr;
    std::size_t tail_size = 0;
    bool ended = false;
    Block* block = nullptr;
    while (!scanner_.stopped() && (block = next_block()) != nullptr) {
      std::uint8_t* start = block->data() - tail_size;
      if (tail_size > 0) std::memcpy(start, tail, tail_size);
      if (previous != nullptr && options_.fd < 0) free_.push(previous);
      position_ = block->position;
      const std::size_t size = tail_size + block->size;
      const std::size_t used = scanner_.scan({start, size}, block->final && !block->abandoned);
      tail = start + used;
      tail_size = size - used;
      previous = block;
      if (block->final) {
        ended = true;
        outcome_.abandoned = block->abandoned;
        break;
      }
      if (!scanner_.stopped() && tail_size > kHead) {
        throw std::logic_error("a block's tail outgrew its room");
      }
    }
    const bool clean = !stopping_ && !scanner_.failure().failed &&
                       ((ended && !outcome_.abandoned) || scanner_.orders_seen());
    // Whatever is left of the input is not needed.
    free_.cancel();
    filled_.cancel();
    if (!clean) {
      for (auto& work : work_) work->cancel();
      out_.cancel();
      return;
    }
    for (std::size_t slot = 0; slot < scanner_.slots(); ++slot) {
      if (!scanner_.rows(static_cast<std::uint16_t>(slot)).empty()) {
        hand_on(static_cast<std::uint16_t>(slot));
      }
    }
    if (work_.empty()) out_.close();
    for (auto& work : work_) work->close();
  } catch (const std::exception& error) {
    fail_internal(error.what());
  }
}

void Pipeline::hand_on(std::uint16_t slot) {
  Piece piece;
  piece.slot = slot;
  piece.position = position_;
  {
    std::lock_guard lock(spare_mutex_);
    if (!spare_.empty()) {
      piece.rows = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  std::swap(piece.rows, scanner_.rows(slot));
  if (work_.empty()) {
    out_.push(std::move(piece));
  } else {
    work_[slot % work_.size()]->push(std::move(piece));
  }
}

void Pipeline::work_loop(std::size_t worker) {
  try {
    Piece piece;
    while (work_[worker]->pop(piece)) {
      Engine& engine = *options_.engines[piece.slot];
      if (piece.rows.events() > 0) engine.run(piece.rows.view(), nullptr);
      std::swap(piece.tables, engine.tables());
      piece.has_tables = true;
      if (!out_.push(std::move(piece))) break;
      piece = Piece{};
    }
  } catch (const std::exception& error) {
    fail_internal(error.what());
  }
  if (--workers_left_ == 0) out_.close();
}

void Pipeline::recycle(StockRows rows) {
  rows.clear();
  std::lock_guard lock(spare_mutex_);
  spare_.push_back(std::move(rows));
}

Channel<Piece>::Wait Pipeline::next(Piece& piece, std::chrono::milliseconds timeout) {
  return out_.pop_for(piece, timeout);
}

void Pipeline::fail_internal(const char* what) {
  {
    std::lock_guard lock(outcome_mutex_);
    if (outcome_.internal.empty()) outcome_.internal = what;
  }
  stop();
}

void Pipeline::stop() {
  stopping_ = true;
  free_.cancel();
  filled_.cancel();
  for (auto& work : work_) work->cancel();
  out_.cancel();
}

void Pipeline::join() {
  std::unique_lock lock(running_mutex_);
  all_done_.wait(lock, [&] { return running_ == 0; });
}

}  // namespace kestrova::replay::itch
