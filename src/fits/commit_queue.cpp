// The queue of the group commit and its thread. Every copy handed over waits
// until a batch is full, big enough, or its oldest copy has waited a
// moment (or the main thread needs them done); the thread then commits the
// batch while the main thread writes the next copies. Report lines of the
// main thread are held behind the copies not yet reported, so every file's
// lines come out whole and in the order the files were started.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "fits/committer.h"
#include "report.h"

namespace corvane {
namespace {

// A batch holds at most this many copies or bytes, and a copy waits at most
// this long for others to join it: each batch costs a flush of the data and
// of each folder, so a few dozen files share them, and a slow file never
// keeps the ones before it from being reported for long.
constexpr std::size_t kBatchFiles = 32;
constexpr std::int64_t kBatchBytes = std::int64_t{128} << 20;
constexpr std::chrono::milliseconds kGather{50};

// A copy handed over keeps three files open (its image, the image's folder
// and itself) until it is put in place; the file the run is at needs a few
// of its own (its image and folder, its copy, an -out and its folder, a
// folder listed), or it would fail for want of them, -out ending the run.
constexpr int kFilesPerCopy = 3;
constexpr int kFilesKept = 16;

// How many copies may be handed over and not yet put in place; under a low
// limit of open files (ulimit -n) fewer than two batches' worth.
std::size_t MostUnreported() {
  static const int copies = (os::MostOpenFiles() - kFilesKept) / kFilesPerCopy;
  static const auto most = static_cast<std::size_t>(std::clamp(copies, 1, 2 * int{kBatchFiles}));
  return most;
}

using Clock = std::chrono::steady_clock;

// Held report lines, or a copy handed over with the lines of its result.
struct Item {
  explicit Item(bool copy) : is_copy(copy) {}
  const bool is_copy;
  std::string lines;
  std::unique_ptr<PendingCopy> copy;  // until the batch is done with it
  std::string path;
  std::int64_t bytes = 0;
  Clock::time_point handed_over;
  bool taken = false;  // into a batch
  bool done = false;   // its lines are final
  Outcome outcome = Outcome::kFailed;
  int note = -1;       // what an interrupting signal says of it until its lines are written
  std::pair<std::uint64_t, std::uint64_t> image;  // the file it replaces
};

struct Queue {
  std::mutex mutex;
  std::condition_variable to_committer;
  std::condition_variable to_main;
  std::deque<std::unique_ptr<Item>> items;  // in the order they were reported or handed over
  std::size_t waiting = 0;                  // copies not yet taken into a batch
  std::int64_t waiting_bytes = 0;
  std::size_t unreported = 0;               // copies not yet reported
  bool hurry = false;                       // the main thread waits for every copy
  bool stop = false;
  std::vector<Committed> results;
  std::thread thread;
};

// Never freed: the thread may still be looking at it while the process ends.
Queue& TheQueue() {
  static Queue* const queue = new Queue;
  return *queue;
}

// Writes out, in order, every item before the first copy not yet done. Under the lock.
void WriteReady(Queue& q) {
  while (!q.items.empty() && (!q.items.front()->is_copy || q.items.front()->done)) {
    Item& item = *q.items.front();
    os::WriteHeldReport(item.lines, item.is_copy ? item.note : -1);
    if (item.is_copy) {
      q.results.push_back({item.path, item.outcome});
      --q.unreported;
    }
    q.items.pop_front();
  }
}

// Where the main thread's reports go while the thread runs: straight out when
// nothing is held, else behind what is.
void Route(std::string_view text) {
  Queue& q = TheQueue();
  const std::lock_guard lock(q.mutex);
  if (q.items.empty()) {
    os::WriteReport(text);
    return;
  }
  if (q.items.back()->is_copy) q.items.push_back(std::make_unique<Item>(false));
  q.items.back()->lines.append(text);
}

// The copies of the next batch, in order. Under the lock.
std::vector<Item*> TakeBatch(Queue& q) {
  std::vector<Item*> batch;
  std::int64_t bytes = 0;
  for (const std::unique_ptr<Item>& item : q.items) {
    if (!item->is_copy || item->taken) continue;
    if (batch.size() == kBatchFiles || (!batch.empty() && bytes + item->bytes > kBatchBytes)) break;
    item->taken = true;
    bytes += item->bytes;
    batch.push_back(item.get());
  }
  q.waiting -= batch.size();
  q.waiting_bytes -= bytes;
  return batch;
}

// Waits for the oldest waiting copy to have company or to have waited long
// enough; false once the thread is to end. Under the lock.
bool WaitForBatch(Queue& q, std::unique_lock<std::mutex>& lock) {
  q.to_committer.wait(lock, [&q] { return q.stop || q.waiting > 0; });
  if (q.waiting == 0) return false;
  Clock::time_point oldest = Clock::now();
  for (const std::unique_ptr<Item>& item : q.items) {
    if (item->is_copy && !item->taken) {
      oldest = item->handed_over;
      break;
    }
  }
  q.to_committer.wait_until(lock, oldest + kGather, [&q] {
    return q.hurry || q.stop || q.waiting >= std::min(kBatchFiles, MostUnreported()) ||
           q.waiting_bytes >= kBatchBytes;
  });
  return true;
}

// Commits the next batch and writes what is ready. Under the lock, let go meanwhile.
void CommitNextBatch(Queue& q, std::unique_lock<std::mutex>& lock) {
  const std::vector<Item*> batch = TakeBatch(q);
  q.to_main.notify_all();  // room for more copies
  std::vector<BatchEntry> entries;
  entries.reserve(batch.size());
  for (Item* item : batch) entries.push_back({item->copy, item->lines, item->outcome});
  // The items of a batch are this thread's alone until they are done.
  lock.unlock();
  CommitBatch(entries);
  lock.lock();
  for (Item* item : batch) item->done = true;
  WriteReady(q);
  q.to_main.notify_all();
}

void CommitLoop() {
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  while (WaitForBatch(q, lock)) CommitNextBatch(q, lock);
}

void Finish() { (void)FinishCommits(); }

}  // namespace

void HandOver(PendingCopy&& copy) {
  auto item = std::make_unique<Item>(true);
  item->path = copy.path;
  item->bytes = copy.bytes;
  copy.copy.KeepInterruptNote();
  item->note = copy.copy.InterruptNote();
  item->image = copy.target.Identity();
  item->copy = std::make_unique<PendingCopy>(std::move(copy));
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  if (!q.thread.joinable()) {
    // The thread never takes an interrupting signal: the main thread's
    // handler removes the pending copies once the thread's step is over.
    const os::InterruptsHeld held;
    try {
      q.thread = std::thread(CommitLoop);
      RouteReports(Route, Finish);
    } catch (const std::system_error&) {
      // No thread to be had (a limit of processes or of memory): each copy
      // is committed at once, a batch of one, as the run goes.
    }
  }
  q.to_main.wait(lock, [&q] {
    return q.waiting < kBatchFiles && q.waiting_bytes < kBatchBytes && q.unreported < MostUnreported();
  });
  item->handed_over = Clock::now();
  q.waiting += 1;
  q.waiting_bytes += item->bytes;
  q.unreported += 1;
  q.items.push_back(std::move(item));
  q.to_committer.notify_all();
  if (!q.thread.joinable()) CommitNextBatch(q, lock);
}

bool WaitForCommits() {
  Queue& q = TheQueue();
  std::unique_lock lock(q.mutex);
  const bool waiting = q.unreported > 0;
  q.hurry = true;
  q.to_committer.notify_all();
  q.to_main.wait(lock, [&q] { return q.unreported == 0; });
  q.hurry = false;
  WriteReady(q);  // the lines held after the last copy
  return waiting;
}

bool IsWaiting(const os::Target& target) {
  Queue& q = TheQueue();
  const std::lock_guard lock(q.mutex);
  for (const std::unique_ptr<Item>& item : q.items) {
    if (item->is_copy && !item->done && item->image == target.Identity()) return true;
  }
  return false;
}

std::vector<Committed> FinishCommits() {
  WaitForCommits();
  Queue& q = TheQueue();
  {
    const std::lock_guard lock(q.mutex);
    q.stop = true;
    q.to_committer.notify_all();
  }
  if (q.thread.joinable()) q.thread.join();
  const std::lock_guard lock(q.mutex);
  q.stop = false;
  RouteReports(nullptr, nullptr);
  return std::exchange(q.results, {});
}

}  // namespace corvane
