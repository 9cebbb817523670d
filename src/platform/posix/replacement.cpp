// The new copy that replaces a file: created beside it (unnamed where the
// filesystem can), checked against what was read once flushed, and put under
// the file's name by an exchange that is undone when another program saved
// the file at that moment. Flushing copies and folders is flush.cpp's.
#ifdef __linux__
#include <linux/fs.h>
#endif
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/os.h"
#include "platform/posix/posix.h"

namespace corvane::os {
namespace posix {

std::string RandomSuffix() {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No random source yet (early boot): time and process number differ between runs.
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t mix = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(getpid()) << 20);
    for (unsigned char& byte : bytes) {
      mix = mix * 6364136223846793005ULL + 1442695040888963407ULL;
      byte = static_cast<unsigned char>(mix >> 56);
    }
  }
  std::string suffix;
  for (unsigned char byte : bytes) suffix += kAlphabet[byte % (sizeof kAlphabet - 1)];
  return suffix;
}

}  // namespace posix

using namespace posix;

Replacement::Replacement(Replacement&& other) noexcept
    : directory_(std::exchange(other.directory_, -1)),
      unnamed_(other.unnamed_),
      pending_slot_(std::exchange(other.pending_slot_, -1)),
      note_(std::exchange(other.note_, -1)),
      temp_name_(std::exchange(other.temp_name_, std::string())),
      file_(std::move(other.file_)),
      committed_(other.committed_) {}

Replacement::~Replacement() {
  if (temp_name_.empty() || committed_) return;
  const ScopedHold hold;
  ForgetPending(pending_slot_);
  (void)unlinkat(directory_, temp_name_.c_str(), 0);  // nothing more to do if it is gone
}

void Replacement::Discard() {
  if (!temp_name_.empty() && !committed_) {
    {
      const ScopedHold hold;
      ForgetPending(std::exchange(pending_slot_, -1));
      (void)unlinkat(directory_, temp_name_.c_str(), 0);  // already gone is as good
    }
    temp_name_.clear();
    // The removal is flushed now, not when the run leaves the folder: the
    // target is about to change, and a crash must find no copy beside it.
    File folder(openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen() || !folder.Sync()) (void)syncfs(file_.Descriptor());  // as in Commit
  }
  file_.Close();
}

namespace {

// Gives a name to `fd`, an unnamed file, in `folder`; 0 or an error number.
int NameUnnamed(int fd, int folder, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  const int error = errno;
  // Without /proc, only a privileged process can name a descriptor directly.
  if (error == ENOENT && linkat(fd, "", folder, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
  return error == ENOENT ? errno : error;
}

// Whether the file named `name` in `folder` is the open file `fd`.
bool NamesFile(int folder, const char* name, int fd) {
  struct stat named {};
  struct stat open {};
  return fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &open) == 0 &&
         named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

int ExchangeNames(int folder, const char* first, const char* second) {
#ifdef RENAME_EXCHANGE
  return renameat2(folder, first, folder, second, RENAME_EXCHANGE) == 0 ? 0 : errno;
#else
  return ENOSYS;
#endif
}

}  // namespace

int Replacement::Create(const Target& target) {
  directory_ = target.directory_.Descriptor();
#ifdef FS_IOC_GETFLAGS
  // An append-only folder takes a new name but never gives one up: a copy
  // could neither replace the image nor be removed, and each run would leave
  // one more. Such a folder is one that refuses new files.
  // (The folder is held as a path only; its flags need it open for reading.)
  const File readable(openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int flags = 0;
  if (readable.IsOpen() && ioctl(readable.Descriptor(), FS_IOC_GETFLAGS, &flags) == 0 &&
      (flags & FS_APPEND_FL) != 0) {
    return EPERM;
  }
#endif
#ifdef O_TMPFILE
  // Unnamed until it is complete: a crash or SIGKILL leaves no file behind.
  // Naming it takes /proc (or privilege); without /proc a named file is used.
  static const bool can_name = access("/proc/self/fd", X_OK) == 0;
  const int unnamed = can_name ? openat(directory_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
  if (!can_name) errno = EOPNOTSUPP;
  if (unnamed >= 0) {
    file_ = File(unnamed);
    unnamed_ = true;
    return 0;
  }
  // Only a filesystem without unnamed files gets a named one; any other
  // refusal (no write permission, a full disk) is that of a named one too.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return errno;
#endif
  // Created and registered for removal with the interrupts held, so no signal
  // can end the run between the two and leave the file behind.
  const ScopedHold hold;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".corvane-" + RandomSuffix();
    const int fd = openat(directory_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return errno;
    file_ = File(fd);
    temp_name_ = std::move(name);
    pending_slot_ = NotePending(directory_, temp_name_);
    return 0;
  }
  return EEXIST;
}

bool Replacement::PutInPlace(Target& target, std::string* error, const Target* read) {
  const Target& source = read != nullptr ? *read : target;
  if (source.LeaseBroken()) {
    *error = "another program opened it for writing while it was being repaired";
    return false;
  }
  if (!source.Unchanged()) {
    *error = "it changed while it was being repaired";
    return false;
  }
  if (!target.output_ && !target.StillNamed()) {
    *error = "its name no longer refers to the file that was read";
    return false;
  }
  {
    const ScopedHold hold;
    if (unnamed_) {
      for (int attempt = 0; attempt < 100 && temp_name_.empty(); ++attempt) {
        std::string name = ".corvane-" + RandomSuffix();
        const int named = NameUnnamed(file_.Descriptor(), directory_, name);
        if (named == EEXIST) continue;
        if (named != 0) {
          *error = std::string("cannot name the new copy: ") + std::strerror(named);
          return false;
        }
        temp_name_ = std::move(name);
        pending_slot_ = NotePending(directory_, temp_name_);
      }
      if (temp_name_.empty()) {
        *error = "cannot name the new copy: " + ErrorText(EEXIST);
        return false;
      }
    }
    // An output is replaced whatever has its name now (or is created).
    // Otherwise the names are exchanged, so the replaced file comes out under
    // the temporary name, where it is checked: another program that saved the
    // image at this very moment gets its file back.
    const int exchanged = target.output_ ? ENOSYS : ExchangeNames(directory_, temp_name_.c_str(), target.name_.c_str());
    if (exchanged == 0) {
      const bool same = NamesFile(directory_, temp_name_.c_str(), target.file_.Descriptor());
      if (!same || source.LeaseBroken()) {
        if (ExchangeNames(directory_, temp_name_.c_str(), target.name_.c_str()) != 0) {
          // The name holds the repair and the other program's file is under
          // the temporary name: it must not be removed.
          *error = std::string("holds the repair: another program replaced it during the rename, and its file "
                               "is now '") + temp_name_ + "'";
          committed_ = true;
          ForgetPending(std::exchange(pending_slot_, -1));
          return false;
        }
        *error = same ? "another program opened it for writing while it was being renamed"
                      : "another program replaced it during the rename";
        return false;
      }
      ForgetPending(std::exchange(pending_slot_, -1));
      committed_ = true;
      CommitInterruptNote(note_);
      (void)unlinkat(directory_, temp_name_.c_str(), 0);  // the replaced file, the original's data
    } else if (exchanged != EINVAL && exchanged != ENOSYS && exchanged != ENOTSUP) {
      *error = std::string("cannot replace the file: ") + std::strerror(exchanged);
      return false;
    } else {
      // An output, or a filesystem that cannot exchange names.
      if (renameat(directory_, temp_name_.c_str(), directory_, target.name_.c_str()) != 0) {
        *error = std::string("cannot replace the file: ") + std::strerror(errno);
        return false;
      }
      committed_ = true;
      ForgetPending(std::exchange(pending_slot_, -1));
      CommitInterruptNote(note_);
    }
  }
  return true;
}

void Replacement::KeepInterruptNote() { note_ = os::KeepInterruptNote(); }

bool Replacement::Commit(Target& target, std::string* error, const Target* read) {
  if (!file_.Sync()) {
    *error = std::string("cannot flush the new copy to disk: ") + std::strerror(errno);
    return false;
  }
  if (!PutInPlace(target, error, read)) return false;
  if (const int failed = target.FlushFolder(file_); failed != 0) {
    *error = std::string("cannot flush its folder to disk: ") + std::strerror(failed);
    return false;
  }
  return true;
}

}  // namespace corvane::os
