// The group commit of new copies: the main thread hands each copy over once
// it is written and checked, and a thread of its own flushes a batch of them,
// puts each in place and reports them, while the main thread goes on with the
// next files. Report lines come out in the order the files were started.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fits/fits.h"
#include "platform/os.h"

namespace corvane {

// A new copy written in full and checked, waiting to be flushed and put in place.
struct PendingCopy {
  std::string path;        // the image, as the report names it
  os::Target target;       // the image, still locked and leased
  os::Replacement copy;
  std::string note;        // what a Note line of the report says, or nothing
  std::int64_t bytes = 0;  // the size of the copy
};

// Hands a copy over. It is put in place with the next batch, and its report
// ends with OK only once its data and the name that holds it are on disk.
// Waits while a batch's worth of copies is waiting already.
void HandOver(PendingCopy&& copy);

// Waits until every copy handed over is put in place (or failed) and
// reported, and every line reported meanwhile is written. False when no
// copy was waiting.
bool WaitForCommits();

// Opens or creates a file with `open` (0 or the system's error number); when
// the process has no descriptor left or the disk no room (no free inode, say),
// once more after the copies waiting to be put in place, which hold files
// open and their originals' room, are.
template <typename Open>
int OpenMakingRoom(Open open) {
  const int error = open();
  if (!os::IsOutOfDescriptors(error) && !os::MeansFull(error)) return error;
  WaitForCommits();
  return open();
}

// Whether a copy of the file `target` has open still waits to be put in place (a
// file named twice, or under two names).
bool IsWaiting(const os::Target& target);

// What became of one file handed over.
struct Committed {
  std::string path;
  Outcome outcome;
};
// Waits as WaitForCommits does, ends the committing thread, and returns what
// became of each copy handed over since the last call, in order.
std::vector<Committed> FinishCommits();

// One file of a batch, as the batch is committed.
struct BatchEntry {
  std::unique_ptr<PendingCopy>& copy;  // released once its fate is known
  std::string& lines;                  // gets the file's last report lines
  Outcome& outcome;
};
// Commits a batch: every copy's data flushed, each copy put in place in
// order after the checks of its file, each folder that got a new name
// flushed once, and only then the lines that say OK.
void CommitBatch(const std::vector<BatchEntry>& batch);

}  // namespace corvane
