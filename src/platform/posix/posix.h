// What the POSIX files of the platform layer share: the state a signal
// handler reads (the pending temporary file, the unflushed folder), the hold
// that keeps interrupting signals out of a short step, and the helpers that
// name and open files relative to a folder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <string>

#include "platform/os.h"

namespace corvane::os::posix {

// The signals sent from outside whose default is to end the process (the
// real-time ones included): each removes a pending temporary file first, and
// all are held while an image is written through.
sigset_t InterruptSet();

// The temporary file an interrupting signal must remove: a folder descriptor
// and a name of fixed size, both set while the interrupts are held, so the
// handler reads nothing that the run is changing or freeing. Also the folder
// whose renames are not yet flushed, which a signal flushes before the end.
extern volatile std::sig_atomic_t g_pending;
extern int g_pending_directory;
extern char g_pending_name[32];
extern volatile int g_unflushed_descriptor;
// The line the handler writes to standard error, and its length (0 for none).
extern char g_interrupt_note[4096];
extern volatile std::sig_atomic_t g_interrupt_note_length;
// Makes the line set for after a commit the one the handler writes; called
// with the interrupts held.
void CommitInterruptNote();

// Holds the interrupts for one short step and restores the mask after it.
class ScopedHold {
 public:
  ScopedHold() {
    const sigset_t set = InterruptSet();
    (void)sigprocmask(SIG_BLOCK, &set, &saved_);  // fails only for an invalid "how"
  }
  ~ScopedHold() { (void)sigprocmask(SIG_SETMASK, &saved_, nullptr); }
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

std::int64_t ModifiedNs(const struct stat& info);

// EFBIG when a file of `size` bytes would pass the file-size limit of the
// process (ulimit -f), whose writes past it end the run with SIGXFSZ; else 0.
int CheckSizeLimit(std::int64_t size);

}  // namespace corvane::os::posix
