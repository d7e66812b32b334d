#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "replay/channel.hpp"
#include "replay/itch_scan.hpp"
#include "replay/replay_engine.hpp"

namespace kestrova::replay::itch {

struct PipelineOptions {
  int fd = -1;  // read by the scanning thread; -1 when the caller feeds the data
  std::size_t block_bytes = std::size_t{1} << 18;
  std::size_t batch_events = std::size_t{1} << 16;  // rows a stock gathers before they go on
  std::vector<Symbol> symbols;
  bool stop_at_orders = false;
  // One per symbol, run by the pipeline's workers; none when the caller runs the books.
  std::vector<Engine*> engines;
  std::size_t workers = 1;
  // Starts `body(argument)` on a new thread; false when it cannot. The
  // pipeline waits for its threads itself, so they may be left detached.
  std::function<bool(void (*body)(void*), void* argument)> launch;
};

// One stock's rows as the scan cut them, and the engine's tables made from them.
struct Piece {
  std::uint16_t slot = 0;
  std::uint64_t position = 0;  // input bytes read when the rows were cut, for progress
  StockRows rows;
  Tables tables;
  bool has_tables = false;
};

// How a finished pipeline ended, besides what its scanner says of the data.
struct Outcome {
  int read_error = 0;      // errno of a failed read
  bool abandoned = false;  // the input ended without a clean end (see finish)
  std::string internal;    // an engine's own failure
};

// Reads, scans and replays an ITCH stream on threads of its own, without the
// interpreter: one reads the file (or takes the blocks it is fed) and scans
// them, and workers run the chosen stocks' engines, each stock always on the
// same worker so that its batches keep their order. Every stock's rows are cut
// after `batch_events` rows, wherever the blocks end, so the same input gives
// the same pieces. Every queue between the threads is bounded.
class Pipeline {
 public:
  explicit Pipeline(PipelineOptions options);
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline();

  // Without a file: hands the next bytes of the stream over, waiting for a
  // free block; `position` is how far into its source the caller has read.
  // False once the pipeline has stopped.
  bool feed(std::span<const std::uint8_t> data, std::uint64_t position);
  // No more data. Unless `clean`, the data just ended (a read failed): the
  // tail is not checked, and the outcome says `abandoned`.
  void finish(bool clean);

  // The next piece, waiting for it up to `timeout`, so that the caller can
  // look at its own signals in between: kEnded at the end, or once stopped.
  Channel<Piece>::Wait next(Piece& piece, std::chrono::milliseconds timeout);
  // Gives a piece's rows back for the scan to fill again.
  void recycle(StockRows rows);
  // Ends every thread early; pieces not taken are dropped.
  void stop();
  // Waits for every thread; after that the scanner and outcome may be read.
  void join();

  const Scanner& scanner() const { return scanner_; }
  const Outcome& outcome() const { return outcome_; }

 private:
  struct Block;
  struct Task {
    Pipeline* pipeline;
    void (Pipeline::*loop)(std::size_t);
    std::size_t index;
  };
  static void run_task(void* task);

  void start(void (Pipeline::*loop)(std::size_t), std::size_t index);
  // The scanning thread reads a file itself, into two blocks in turn: read
  // into a block that fits the core's cache, the data is still there when the
  // scan reads it. A reading thread of its own would cost the scan the trip
  // of every byte between the cores, which is more than it would save.
  void fill(Block* block);
  Block* next_block();
  void scan_loop(std::size_t);
  void work_loop(std::size_t worker);
  void hand_on(std::uint16_t slot);
  Block* take_free();
  void fail_internal(const char* what);

  PipelineOptions options_;
  Scanner scanner_;
  Outcome outcome_;
  std::vector<std::unique_ptr<Block>> blocks_;
  Channel<Block*> free_, filled_;
  std::vector<std::unique_ptr<Channel<Piece>>> work_;
  Channel<Piece> out_;
  std::mutex spare_mutex_;
  std::vector<StockRows> spare_;
  std::mutex outcome_mutex_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> workers_left_{0};
  std::uint64_t position_ = 0;      // of the block being scanned
  std::uint64_t fed_position_ = 0;  // the feeding thread's own
  std::uint64_t read_ = 0;          // bytes of the file read
  std::size_t turn_ = 0;
  std::vector<std::unique_ptr<Task>> tasks_;
  std::mutex running_mutex_;
  std::condition_variable all_done_;
  std::size_t running_ = 0;  // threads not yet done
};

}  // namespace kestrova::replay::itch
