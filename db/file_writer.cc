#include "db/file_writer.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "base/file_system.h"

namespace {

// One batch of work: the names in the order first queued, and for each its last operation
// (bytes to write, or nullopt to remove).
struct batch {
  std::deque<str> order;
  std::unordered_map<str, std::optional<str>, str_hash> last;
};

// How long the writer lets a burst gather after the first queued file before it takes the
// batch. During a call the callee's row is written as it rings and again as it answers, and a
// new call record moves the table's index file: within one window each of these files is
// written once, whatever the number of calls.
constexpr auto gather_window = std::chrono::milliseconds(20);

std::mutex lock;
std::condition_variable wake;  // the writer: work arrived, a flush is waiting, or stop
std::condition_variable done;  // flushers: a batch was completed
batch waiting;
bool running = false, stopping = false, busy = false;
int flushers = 0;  // callers of flush_file_writer waiting: the batch is taken at once
uint64_t batches_taken = 0, batches_completed = 0;
file_writer_stats stats;
std::thread writer;

// str::write_file creates missing parent directories, then writes a temporary file beside the
// target and renames it over the target.
bool write_now(const str& name, const str& bytes) { return bytes.write_file(name); }

void remove_now(const str& name) {
  if (fs().size(name) >= 0) str::remove_file(name);
}

void queue(const str& name, std::optional<str> op) {
  // Only the first file of a batch wakes the writer: later ones find it gathering or writing.
  const bool first = waiting.order.empty();
  auto [it, fresh] = waiting.last.try_emplace(name, std::move(op));
  if (fresh) {
    waiting.order.push_back(name);
  } else {
    it->second = std::move(op);
    stats.replaced++;
  }
  stats.queued++;
  if (first) wake.notify_one();
}

void writer_loop() {
  std::unique_lock<std::mutex> l(lock);
  for (;;) {
    wake.wait(l, [] { return stopping || !waiting.order.empty(); });
    if (waiting.order.empty()) {
      // Stopping, and nothing left: from here on callers write for themselves.
      running = false;
      return;
    }
    wake.wait_for(l, gather_window, [] { return stopping || flushers > 0; });
    batch work;
    std::swap(work, waiting);
    busy = true;
    batches_taken++;
    l.unlock();
    for (const str& name : work.order) {
      const std::optional<str>& op = work.last.find(name)->second;
      if (op) {
        write_now(name, *op);
      } else {
        remove_now(name);
      }
    }
    l.lock();
    stats.performed += work.order.size();
    busy = false;
    batches_completed++;
    done.notify_all();
  }
}

}  // namespace

void start_file_writer() {
  std::lock_guard<std::mutex> l(lock);
  if (running) return;
  running = true;
  stopping = false;
  writer = std::thread(writer_loop);
  pthread_setname_np(writer.native_handle(), "file-writer");
}

void stop_file_writer() {
  {
    std::lock_guard<std::mutex> l(lock);
    if (!running) return;
    stopping = true;
    wake.notify_one();
  }
  writer.join();
  std::lock_guard<std::mutex> l(lock);
  stopping = false;
}

void flush_file_writer() {
  std::unique_lock<std::mutex> l(lock);
  if (!running) return;
  // The work queued so far is either being written now (batch number batches_taken) or
  // waiting for the next batch.
  uint64_t target = !waiting.order.empty() ? batches_taken + 1 : busy ? batches_taken : 0;
  flushers++;
  wake.notify_one();
  done.wait(l, [target] { return batches_completed >= target; });
  flushers--;
}

bool file_writer_running() {
  std::lock_guard<std::mutex> l(lock);
  return running;
}

file_writer_stats get_file_writer_stats() {
  std::lock_guard<std::mutex> l(lock);
  return stats;
}

bool write_whole_file(const str& name, const str& bytes) {
  {
    std::lock_guard<std::mutex> l(lock);
    if (running) {
      queue(name, bytes);
      return true;
    }
  }
  return write_now(name, bytes);
}

void remove_whole_file(const str& name) {
  {
    std::lock_guard<std::mutex> l(lock);
    if (running) {
      queue(name, std::nullopt);
      return;
    }
  }
  remove_now(name);
}
