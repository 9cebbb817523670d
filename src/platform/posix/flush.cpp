// Flushing to disk: the data of a batch of new copies, with as few flushes
// of the device as the system allows while every copy's write-back error is
// still seen, and the folder whose names a batch changed.
#include <fcntl.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "platform/os.h"
#include "platform/posix/posix.h"

namespace corvane::os {

using namespace posix;

namespace {

// Whether syncfs reports the write-back errors of the filesystem since the
// descriptor it is given was opened (Linux 5.8 on); before that it said
// nothing of them, and only a flush of each file does.
bool SyncfsReportsErrors() {
#ifdef __linux__
  static const bool reports = [] {
    utsname system {};
    int major = 0;
    int minor = 0;
    return uname(&system) == 0 && std::sscanf(system.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 8));
  }();
  return reports;
#else
  return false;
#endif
}

// Whether a flush of the whole filesystem that holds `fd` puts a file's data
// on disk as a flush of the file does: on ext4, XFS and btrfs it commits the
// journal or log, device flush included. A FUSE daemon is never asked to
// flush by it (only a flush of each file reaches exFAT or FAT through FUSE),
// nor is a network filesystem's server.
bool SyncfsFlushesData(int fd) {
#ifdef __linux__
  struct statfs info {};
  if (fstatfs(fd, &info) != 0) return false;
  switch (info.f_type) {
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
#else
  (void)fd;
  return false;
#endif
}

int FlushOne(Replacement* copy) { return fdatasync(copy->Output().Descriptor()) == 0 ? 0 : errno; }

}  // namespace

std::vector<int> FlushCopies(const std::vector<Replacement*>& copies) {
  std::vector<int> errors(copies.size(), 0);
  // The copies of each filesystem, in the order they were made.
  std::map<dev_t, std::vector<std::size_t>> filesystems;
  for (std::size_t k = 0; k < copies.size(); ++k) {
    struct stat info {};
    if (fstat(copies[k]->Output().Descriptor(), &info) != 0) {
      errors[k] = errno;
      continue;
    }
    filesystems[info.st_dev].push_back(k);
  }
  for (const auto& [device, members] : filesystems) {
    // One flush of the whole filesystem costs the device one flush where a
    // flush of each copy costs one each. Through the copy made first, it
    // reports a failed write-back of any file since that copy was made, so
    // of every copy here; only then is each flushed alone, to see which.
    const int first = copies[members.front()]->Output().Descriptor();
    if (members.size() > 1 && SyncfsReportsErrors() && SyncfsFlushesData(first) && syncfs(first) == 0) continue;
    for (const std::size_t k : members) errors[k] = FlushOne(copies[k]);
  }
  return errors;
}

bool Target::SameFolderAs(const Target& other) const {
  struct stat mine {};
  struct stat theirs {};
  return fstat(directory_.Descriptor(), &mine) == 0 && fstat(other.directory_.Descriptor(), &theirs) == 0 &&
         mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

int Target::FlushFolder(const File& beside) const {
  const File folder(openat(directory_.Descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.IsOpen()) return fsync(folder.Descriptor()) == 0 ? 0 : errno;
  // A folder without read permission cannot be opened to be flushed: the
  // whole filesystem is, through the new copy.
  return syncfs(beside.Descriptor()) == 0 ? 0 : errno;
}

}  // namespace corvane::os
