// The file being repaired: resolved once through its symbolic links to a
// folder kept open and a name in it, opened without waiting for a writer,
// locked against other runs, leased against other programs, checked for
// changes, and reserved before a write through it. Also the leftover copy
// of an interrupted run in its folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/posix/posix.h"

namespace corvane::os {
namespace posix {

int OpenInFolder(int folder, const std::string& name, Access access, File* file) {
  const int flags = (access == Access::kRead ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_CLOEXEC;
  *file = File(openat(folder, name.c_str(), flags | O_NONBLOCK));
  if (!file->IsOpen()) return errno;
  return fcntl(file->Descriptor(), F_SETFL, flags & ~O_CLOEXEC) == 0 ? 0 : errno;
}

std::int64_t ModifiedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::int64_t ChangedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
}

}  // namespace posix

using namespace posix;

namespace {

// The text of the symbolic link `name` in `folder`; false when it cannot be read.
bool ReadLink(int folder, const std::string& name, std::string* text) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t length = readlinkat(folder, name.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      text->assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

// Follows symbolic links one step at a time relative to the folder reached so
// far: no length limit on the working folder, no search permission needed
// above it, and the result is a folder kept open and a name in it. `info` is
// the status of what the name holds; ENOENT when nothing does.
int Resolve(const std::string& path, File* directory, std::string* resolved, struct stat* info) {
  std::string name = NameOf(path);
  *directory = File(open(DirectoryOf(path).c_str(), kFolderFlags));
  for (int hops = 0; directory->IsOpen(); ++hops) {
    if (fstatat(directory->Descriptor(), name.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0) {
      *resolved = std::move(name);
      return errno;
    }
    if (!S_ISLNK(info->st_mode)) break;
    std::string link;
    if (hops == 40) return ELOOP;
    if (!ReadLink(directory->Descriptor(), name, &link)) return errno;
    const std::string folder = DirectoryOf(link);
    const int base = link.starts_with('/') ? AT_FDCWD : directory->Descriptor();
    *directory = File(openat(base, folder.c_str(), kFolderFlags));
    name = NameOf(link);
  }
  if (!directory->IsOpen()) return errno;
  *resolved = StoredName(directory->Descriptor(), name);
  return 0;
}

int Target::Open(const std::string& path, Access access) {
  struct stat info {};
  if (const int error = Resolve(path, &directory_, &name_, &info); error != 0) return error;
  exists_ = true;
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    status_ = FileStatus{};  // a FIFO or a device is not even opened
    return 0;
  }
  // A file that may be rewritten must be writable by whoever runs this (an
  // immutable file or a read-only filesystem refuses it), though it is only
  // read until then: a descriptor open for writing would rule out a lease.
  if (access == Access::kReadWrite && S_ISREG(info.st_mode) &&
      faccessat(directory_.Descriptor(), name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
    return errno;
  }
  if (const int error = OpenInFolder(directory_.Descriptor(), name_, Access::kRead, &file_); error != 0) return error;
  return Stat();
}

int Target::OpenOutput(const std::string& path) {
  output_ = true;
  struct stat info {};
  const int error = Resolve(path, &directory_, &name_, &info);
  if (error == ENOENT && directory_.IsOpen()) return 0;  // a new file
  if (error != 0) return error;
  exists_ = true;
  if (!S_ISREG(info.st_mode)) return 0;  // written directly, or refused as a folder
  // As cp, which writes into the file it replaces: one this run may not
  // write (write-protected, immutable, on a read-only filesystem) is refused.
  if (faccessat(directory_.Descriptor(), name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (const int failed = OpenInFolder(directory_.Descriptor(), name_, Access::kRead, &file_); failed != 0) {
    return failed;
  }
  return Stat();
}

int Target::OpenForWriting() {
  if (const int error = OpenInFolder(directory_.Descriptor(), name_, Access::kReadWrite, &writer_); error != 0) {
    return error;
  }
  struct stat opened {};
  struct stat first {};
  if (fstat(writer_.Descriptor(), &opened) != 0 || fstat(file_.Descriptor(), &first) != 0) return errno;
  if (opened.st_dev != first.st_dev || opened.st_ino != first.st_ino) {
    writer_.Close();
    return ESTALE;
  }
  return 0;
}

int Target::Stat() {
  struct stat info {};
  if (fstat(file_.Descriptor(), &info) != 0) return errno;
  status_.size = static_cast<std::int64_t>(info.st_size);
  status_.is_directory = S_ISDIR(info.st_mode);
  status_.is_regular = S_ISREG(info.st_mode);
  device_ = info.st_dev;
  inode_ = info.st_ino;
  modified_ns_ = ModifiedNs(info);
  changed_ns_ = ChangedNs(info);
  return 0;
}

int Target::Lock(Access access, bool wait) {
  const int operation = (access == Access::kRead ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
  for (int attempt = 0; attempt < 100; ++attempt) {
    int result = 0;
    do {
      result = flock(file_.Descriptor(), operation);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && errno == EWOULDBLOCK) return EWOULDBLOCK;
    // A filesystem without locks (some network and FUSE ones) cannot do better.
    if (result != 0 && errno != ENOLCK && errno != ENOTSUP && errno != ENOSYS && errno != EINVAL) return errno;
    // Another run may have replaced the file while this one waited: the name
    // then holds its result, which is what this run must look at. Whatever
    // now has the name is opened without waiting for a writer, as at first.
    if (StillNamed()) return Stat();
    if (const int error = OpenInFolder(directory_.Descriptor(), name_, Access::kRead, &file_); error != 0) {
      return error;
    }
    if (const int error = Stat(); error != 0 || !status_.is_regular) return error;
  }
  return EAGAIN;
}

bool Target::IsSameFileAs(const std::string& path) const {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

bool Target::Unchanged() const {
  struct stat info {};
  return fstat(file_.Descriptor(), &info) == 0 && info.st_size == status_.size &&
         ModifiedNs(info) == modified_ns_ && ChangedNs(info) == changed_ns_;
}

bool Target::StillNamed() const {
  struct stat named {};
  struct stat open {};
  return fstatat(directory_.Descriptor(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(file_.Descriptor(), &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

bool Target::HasSize(std::int64_t size) const {
  struct stat info {};
  return fstat(file_.Descriptor(), &info) == 0 && info.st_size == size;
}

namespace {

// Whether the filesystem lets the file take `size` bytes more, counted against
// its free space and any quota, as a copy-on-write filesystem (btrfs) needs
// to rewrite blocks the file already has, where reserving over them reserves
// nothing. They are claimed past the file's end, where no write lands, and
// given back at once (a truncation to the size it has drops them). Returns 0,
// or the error of a claim refused for want of room; 0 where the filesystem
// cannot tell (no such claims on FUSE or network filesystems, say).
int MeasureRoom(int fd, std::int64_t file_size, std::int64_t size, std::int64_t modified_ns) {
  int result = 0;
  do {
    result = fallocate(fd, FALLOC_FL_KEEP_SIZE, file_size, size) == 0 ? 0 : errno;
  } while (result == EINTR);
  if (result != 0 && result != ENOSPC && result != EDQUOT && result != EFBIG) return 0;
  (void)ftruncate(fd, static_cast<off_t>(file_size));  // a failed claim may have got part of it
  // The truncation stamps the time; the owner gets the old one back.
  const timespec times[2] = {{0, UTIME_OMIT}, {modified_ns / 1000000000, modified_ns % 1000000000}};
  (void)futimens(fd, times);
  return result;
}

}  // namespace

int Target::Reserve(std::int64_t size) {
  if (const int error = CheckSizeLimit(size); error != 0) return error;
  // A copy-on-write filesystem writes every block anew, so the whole result
  // must fit in the free space, whatever the file holds already.
  struct statvfs space {};
  if (fstatvfs(Writable().Descriptor(), &space) == 0 &&
      static_cast<std::uint64_t>(size) / space.f_frsize >= space.f_bavail) {
    return ENOSPC;
  }
  if (const int error = MeasureRoom(Writable().Descriptor(), status_.size, size, modified_ns_); error != 0) {
    return error;
  }
  int result = 0;
  // Reserved past the end without growing the file: a crash before the first
  // flush of the rewrite must leave the original as it was, size included.
  do {
    result = fallocate(Writable().Descriptor(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ? 0 : errno;
  } while (result == EINTR);
  // A filesystem without it gets the portable call, which grows the file.
  while (result == EOPNOTSUPP || result == ENOSYS || result == EINTR) {
    result = posix_fallocate(Writable().Descriptor(), 0, static_cast<off_t>(size));
  }
  // A failed reservation may have grown the file with what it got.
  struct stat now {};
  if (result != 0 && fstat(Writable().Descriptor(), &now) == 0 && now.st_size > status_.size) {
    (void)ftruncate(Writable().Descriptor(), static_cast<off_t>(status_.size));  // the reservation's error says enough
  }
  return result;
}

bool Target::RestoreSize() { return ftruncate(Writable().Descriptor(), static_cast<off_t>(status_.size)) == 0; }

// A lease break gives up the lease at once: the program that broke it waits
// until then. Several images may be leased at a time, each waiting for its
// turn to be put in place: the signal says which descriptor's lease broke.
void GiveUpLease(int, siginfo_t* info, void*) {
  const int saved = errno;  // the thread it interrupts may be about to read it
  if (info != nullptr && info->si_fd >= 0) (void)fcntl(info->si_fd, F_SETLEASE, F_UNLCK);  // nothing more a handler can do
  errno = saved;
}

int Target::TakeLease() {
#if defined(F_SETLEASE) && defined(F_SETSIG)
  // A break is told by SIGURG, which ends no process and no run holds back.
  static const bool handled = [] {
    struct sigaction action {};
    action.sa_sigaction = GiveUpLease;
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    return sigaction(SIGURG, &action, nullptr) == 0;
  }();
  if (!handled || !file_.IsOpen() || fcntl(file_.Descriptor(), F_SETSIG, SIGURG) != 0) return kNoLease;
  if (fcntl(file_.Descriptor(), F_SETLEASE, F_RDLCK) == 0) {
    leased_ = true;
    return 0;
  }
  return errno == EAGAIN ? kBusy : kNoLease;
#else
  return kNoLease;
#endif
}

bool Target::LeaseBroken() const {
#ifdef F_GETLEASE
  // A lease being broken already reads as F_UNLCK, before the signal comes,
  // and so does one given up.
  return leased_ && fcntl(file_.Descriptor(), F_GETLEASE) != F_RDLCK;
#else
  return false;
#endif
}

void Target::DropLease() {
  if (!leased_) return;
#ifdef F_SETLEASE
  (void)fcntl(file_.Descriptor(), F_SETLEASE, F_UNLCK);  // closing the file would end it too
#endif
  leased_ = false;
}

std::string Target::LeftoverCopy() const {
  static std::vector<std::pair<dev_t, ino_t>> asked;
  struct stat folder {};
  if (fstat(directory_.Descriptor(), &folder) != 0) return std::string();
  const std::pair<dev_t, ino_t> key{folder.st_dev, folder.st_ino};
  if (std::find(asked.begin(), asked.end(), key) != asked.end()) return std::string();
  asked.push_back(key);
  const int fd = openat(directory_.Descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return std::string();  // a folder that cannot be listed is not looked into
  }
  std::string found;
  while (const dirent* entry = readdir(listing)) {
    if (std::strncmp(entry->d_name, ".corvane-", 9) == 0) {
      found = entry->d_name;
      break;
    }
  }
  closedir(listing);
  return found;
}

}  // namespace corvane::os
