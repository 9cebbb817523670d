// What the POSIX files of the platform layer share: the state a signal
// handler reads (the pending temporary files), the hold that keeps
// interrupting signals out of a short step on any thread, and the helpers
// that name and open files relative to a folder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <string>

#include "platform/os.h"

namespace corvane::os::posix {

// The signals sent from outside whose default is to end the process (the
// real-time ones included): each removes a pending temporary file first, and
// all are held while an image is written through.
sigset_t InterruptSet();

// The named temporary files an interrupting signal must remove: slots of a
// fixed table, each a folder descriptor and a name of fixed size, filled and
// emptied only inside a ScopedHold, so the handler reads nothing that the run
// is changing or freeing. More than a batch and the files queued behind it.
constexpr int kPendingSlots = 256;
struct PendingName {
  std::atomic<int> state{0};  // 0 free, 1 being filled or emptied, 2 to remove
  int directory = -1;
  char name[32] = {};
};
extern PendingName g_pending_names[kPendingSlots];
// Notes `name` in `directory` for removal by a signal; the slot, or -1 when
// the table is full. Releases a slot (-1 is none). Both inside a ScopedHold.
int NotePending(int directory, const std::string& name);
void ForgetPending(int slot);

// How many threads are inside a ScopedHold, and whether a signal handler is
// ending the run: the handler waits until no other thread is in a step, and a
// thread that would start one after that waits for the end instead.
extern std::atomic<int> g_steps;
extern std::atomic<int> g_stopping;
static_assert(std::atomic<int>::is_always_lock_free);
// Switches the line an interrupting signal writes for a file (KeepInterruptNote's
// number, or -1 for the file the run is at) to the one for after its copy was
// put in place; inside the ScopedHold of the rename.
void CommitInterruptNote(int note);

// Holds the interrupts for one short step and restores the mask after it.
// Signals reach only the main thread (see InterruptsHeld), so the step also
// counts itself in g_steps: a handler on the main thread lets another
// thread's step end before it removes anything.
class ScopedHold {
 public:
  ScopedHold();
  ~ScopedHold();
  ScopedHold(const ScopedHold&) = delete;
  ScopedHold& operator=(const ScopedHold&) = delete;

 private:
  sigset_t saved_{};
};

// A folder opened only to name things in it: search permission is enough.
#ifdef O_PATH
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// The folder part of `path` ("." for a bare name) and its last component.
std::string DirectoryOf(const std::string& path);
std::string NameOf(const std::string& path);

// The name `folder` stores for the file that `name` finds there. On a
// filesystem that ignores case (FAT, exFAT, NTFS through FUSE) "M42.FIT" finds
// "m42.fit", and a file renamed into place under the name as typed would
// change its letters; elsewhere it is `name`.
std::string StoredName(int folder, const std::string& name);

// Six letters or digits that no other run is likely to pick at the same time.
std::string RandomSuffix();

// Opens `name` in `folder` without following a link at the last step and
// without waiting for a writer, as a FIFO put under the name would make it.
int OpenInFolder(int folder, const std::string& name, Access access, File* file);

// After a write to `fd` failed: whether it only found a full pipe that whoever
// shares it (standard output or error) made non-blocking, and which now takes
// more bytes. A full pipe is waited for, never taken for a failure.
bool WaitedForRoom(int fd);

// When the file's data (ModifiedNs) or its status (ChangedNs) last changed, in nanoseconds.
std::int64_t ModifiedNs(const struct stat& info);
std::int64_t ChangedNs(const struct stat& info);

// EFBIG when a file of `size` bytes would pass the file-size limit of the
// process (ulimit -f), whose writes past it end the run with SIGXFSZ; else 0.
int CheckSizeLimit(std::int64_t size);

}  // namespace corvane::os::posix
