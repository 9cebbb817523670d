// POSIX implementation of the platform layer: descriptors, status, listing,
// the target of a repair (resolved once, locked, checked) and the temporary
// file that replaces it by rename. A signal handler removes a pending
// temporary file, so an interrupted run leaves none.
#include <dirent.h>
#ifdef __linux__
#include <linux/fs.h>
#endif
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/os.h"
#include "platform/transfer.h"

namespace corvane::os {
namespace {

// The signals sent from outside whose default is to end the process (the
// real-time ones included): each removes a pending temporary file first, and
// all are held while an image is written through.
sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM,
                            SIGVTALRM, SIGPROF}) {
    sigaddset(&set, signal_number);
  }
#ifdef SIGPWR
  sigaddset(&set, SIGPWR);
#endif
#ifdef SIGPOLL
  sigaddset(&set, SIGPOLL);
#endif
#ifdef SIGSTKFLT
  sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) sigaddset(&set, signal_number);
#endif
  return set;
}

// The faults of the program itself: they cannot be held, but they too remove
// a pending temporary file before the process ends.
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS};

// The temporary file an interrupting signal must remove: a folder descriptor
// and a name of fixed size, both set while the interrupts are held, so the
// handler reads nothing that the run is changing or freeing. Also the folder
// whose renames are not yet flushed, which a signal flushes before the end.
volatile std::sig_atomic_t g_pending = 0;
int g_pending_directory = -1;
char g_pending_name[32];
volatile int g_unflushed_descriptor = -1;

void RemovePendingAndDie(int signal_number) {
  // Nothing could be done about a failure here: the process is ending anyway.
  if (g_pending != 0) (void)unlinkat(g_pending_directory, g_pending_name, 0);
  if (g_unflushed_descriptor >= 0) (void)fsync(g_unflushed_descriptor);
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);  // held until the handler returns, then ends the process
}

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

// The folder of the latest replacement, until it is flushed to disk.
File g_unflushed_directory;
dev_t g_unflushed_device = 0;
ino_t g_unflushed_inode = 0;

// A folder opened only to name things in it: search permission is enough.
#ifdef O_PATH
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "." : name;
}

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

// Six letters or digits that no other run is likely to pick at the same time.
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

// The names of a file's extended attributes; an empty list where the
// filesystem keeps none. False when they cannot be listed.
bool ListAttributes(int fd, std::vector<std::string>* names) {
  std::vector<char> buffer;
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP || errno == ENOSYS;
    buffer.resize(static_cast<std::size_t>(size));
    const ssize_t got = flistxattr(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == ERANGE) continue;  // it grew meanwhile
    if (got < 0) return false;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
      names->emplace_back(buffer.data() + at);
      at += names->back().size() + 1;
    }
    return true;
  }
}

// Makes the extended attributes of `to` those of `from`: each copied, and each
// that `to` got from its folder (a default ACL) but `from` lacks removed, as
// it could give access the original did not.
bool CopyExtendedAttributes(int from, int to, std::string* error) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!ListAttributes(from, &wanted) || !ListAttributes(to, &present)) {
    *error = std::string("cannot list extended attributes: ") + std::strerror(errno);
    return false;
  }
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
    if (fremovexattr(to, name.c_str()) != 0) {
      *error = "cannot remove the attribute " + name + ": " + std::strerror(errno);
      return false;
    }
  }
  std::vector<char> value;
  for (const std::string& name : wanted) {
    const ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    value.resize(size > 0 ? static_cast<std::size_t>(size) : 1);
    const ssize_t got = size < 0 ? -1 : fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 || fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      *error = "cannot copy the attribute " + name + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

// Opens `name` in `folder` without following a link at the last step and
// without waiting for a writer, as a FIFO put under the name would make it.
int OpenInFolder(int folder, const std::string& name, Access access, File* file) {
  const int flags = (access == Access::kRead ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_CLOEXEC;
  *file = File(openat(folder, name.c_str(), flags | O_NONBLOCK));
  if (!file->IsOpen()) return errno;
  return fcntl(file->Descriptor(), F_SETFL, flags & ~O_CLOEXEC) == 0 ? 0 : errno;
}

std::int64_t ModifiedNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

bool Buffer::Allocate(std::uint64_t size) {
  Release();
  if (size == 0) return true;
  if (size > SIZE_MAX) return false;
  if (size < kLargeBuffer) {
    data_ = static_cast<std::uint8_t*>(std::malloc(size));
    size_ = size;
    return data_ != nullptr;
  }
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
  // Filling a large buffer page by page costs a fault per 4 KiB, which can take
  // longer than reading the file; huge pages cut the faults 512-fold. Only a hint.
  madvise(memory, size, MADV_HUGEPAGE);
#endif
  data_ = static_cast<std::uint8_t*>(memory);
  size_ = size;
  return true;
}

void Buffer::Release() {
  if (data_ != nullptr && size_ < kLargeBuffer) std::free(data_);
  if (data_ != nullptr && size_ >= kLargeBuffer) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

void File::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::int64_t File::ReadFull(void* buffer, std::int64_t count, int* error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  int failure = 0;
  const std::int64_t got = TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    const ssize_t moved = read(fd_, bytes + at, static_cast<std::size_t>(chunk));
    failure = moved < 0 ? errno : 0;
    return moved;
  });
  if (error != nullptr) *error = failure;
  return got;
}

std::int64_t File::ReadAt(void* buffer, std::int64_t count, std::int64_t offset) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return pread(fd_, bytes + at, static_cast<std::size_t>(chunk), static_cast<off_t>(offset + at));
  });
}

std::int64_t File::WriteFull(const void* buffer, std::int64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return write(fd_, bytes + at, static_cast<std::size_t>(chunk));
  });
}

bool File::Rewind() { return lseek(fd_, 0, SEEK_SET) == 0; }

bool File::Sync() { return fsync(fd_) == 0; }

int OpenDirect(const std::string& path, File* file) {
  *file = File(open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  return file->IsOpen() ? 0 : errno;
}

bool IsStandardOutput(const std::string& path) {
  struct stat out {};
  struct stat named {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &named) == 0 && out.st_dev == named.st_dev &&
         out.st_ino == named.st_ino;
}

bool SameFile(const std::string& first, const std::string& second) {
  struct stat one {};
  struct stat two {};
  return stat(first.c_str(), &one) == 0 && stat(second.c_str(), &two) == 0 && one.st_dev == two.st_dev &&
         one.st_ino == two.st_ino;
}

int File::Reserve(std::int64_t size) {
#ifdef __linux__
  // fallocate, never posix_fallocate: where the filesystem cannot reserve,
  // that one writes into every block of it, a second copy's worth of work.
  int result = 0;
  do {
    result = fallocate(fd_, 0, 0, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  // Any other refusal (no support, a pipe or a device) leaves the writes that
  // follow to meet whatever problem there is.
  if (result != 0 && (errno == ENOSPC || errno == EDQUOT)) return errno;
#else
  (void)size;
#endif
  return 0;
}

bool QueryStatus(const std::string& path, FileStatus* status) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  status->size = static_cast<std::int64_t>(info.st_size);
  status->is_directory = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  return true;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

Readable IsReadable(const std::string& path) {
  if (access(path.c_str(), R_OK) == 0) return Readable::kYes;
  return errno == ENAMETOOLONG ? Readable::kNameTooLong : Readable::kNo;
}

int ListDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return errno;
  while (const dirent* entry = readdir(listing)) names->emplace_back(entry->d_name);
  closedir(listing);
  return 0;
}

std::string FolderOf(const std::string& path) { return DirectoryOf(path); }

std::string ErrorText(int error) { return std::strerror(error); }

std::string LastErrorText() { return std::strerror(errno); }

bool IsAccessDenied(int error) { return error == EACCES || error == EPERM; }

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
  *resolved = std::move(name);
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
         ModifiedNs(info) == modified_ns_;
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

int Target::Reserve(std::int64_t size) {
  // A copy-on-write filesystem writes every block anew, so the whole result
  // must fit in the free space, whatever the file holds already.
  struct statvfs space {};
  if (fstatvfs(Writable().Descriptor(), &space) == 0 &&
      static_cast<std::uint64_t>(size) / space.f_frsize >= space.f_bavail) {
    return ENOSPC;
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

// The descriptor whose read lease a break gives up at once: the program
// that broke it waits until then. Also whether that happened.
volatile std::sig_atomic_t g_lease_descriptor = -1;
volatile std::sig_atomic_t g_lease_broken = 0;

void GiveUpLease(int) {
  const int fd = g_lease_descriptor;
  if (fd >= 0) (void)fcntl(fd, F_SETLEASE, F_UNLCK);  // nothing more a handler can do
  g_lease_broken = 1;
}

int Target::TakeLease() {
#if defined(F_SETLEASE) && defined(F_SETSIG)
  // A break is told by SIGURG, which ends no process and no run holds back.
  static const bool handled = [] {
    struct sigaction action {};
    action.sa_handler = GiveUpLease;
    action.sa_flags = SA_RESTART;
    return sigaction(SIGURG, &action, nullptr) == 0;
  }();
  if (!handled || !file_.IsOpen() || fcntl(file_.Descriptor(), F_SETSIG, SIGURG) != 0) return kNoLease;
  g_lease_broken = 0;
  g_lease_descriptor = file_.Descriptor();
  if (fcntl(file_.Descriptor(), F_SETLEASE, F_RDLCK) == 0) {
    leased_ = true;
    return 0;
  }
  const int error = errno;
  g_lease_descriptor = -1;
  return error == EAGAIN ? kBusy : kNoLease;
#else
  return kNoLease;
#endif
}

bool Target::LeaseBroken() const {
#ifdef F_GETLEASE
  // A lease being broken already reads as F_UNLCK, before the signal comes.
  return leased_ && (g_lease_broken != 0 || fcntl(file_.Descriptor(), F_GETLEASE) != F_RDLCK);
#else
  return false;
#endif
}

void Target::DropLease() {
  if (!leased_) return;
#ifdef F_SETLEASE
  (void)fcntl(file_.Descriptor(), F_SETLEASE, F_UNLCK);  // closing the file would end it too
#endif
  g_lease_descriptor = -1;
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

Replacement::~Replacement() {
  if (temp_name_.empty() || committed_) return;
  const ScopedHold hold;
  g_pending = 0;
  (void)unlinkat(directory_, temp_name_.c_str(), 0);  // nothing more to do if it is gone
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
    static_assert(sizeof g_pending_name > sizeof ".corvane-XXXXXX");
    std::memcpy(g_pending_name, temp_name_.c_str(), temp_name_.size() + 1);
    g_pending_directory = directory_;
    g_pending = 1;
    return 0;
  }
  return EEXIST;
}

Replacement::Attributes Replacement::CopyAttributesFrom(const File& original, std::string* error, std::string* note) {
  struct stat info {};
  if (fstat(original.Descriptor(), &info) != 0) {
    *error = std::strerror(errno);
    return Attributes::kFailed;
  }
  // Ownership first: a change of owner clears the set-id bits that fchmod then
  // restores. Only root may give a file away; the group can often be kept all
  // the same. A copy in another group is refused unless the group's bits are
  // those of everyone else: the other group would gain what the old one had,
  // and the old one, shut out before, would gain what everyone has.
  if (fchown(file_.Descriptor(), info.st_uid, info.st_gid) != 0) (void)fchown(file_.Descriptor(), -1, info.st_gid);
  struct stat owned {};
  if (fstat(file_.Descriptor(), &owned) != 0) {
    *error = std::strerror(errno);
    return Attributes::kFailed;
  }
  // A copy that would belong to someone else than the image's owner never
  // takes its place: the owner could lose access to it.
  if (owned.st_uid != info.st_uid) return Attributes::kOtherOwner;
  const bool group_differs = ((info.st_mode >> 3) & 07) != (info.st_mode & 07);
  if (owned.st_gid != info.st_gid && group_differs) {
    *error = "cannot keep its group";
    return Attributes::kFailed;
  }
  if (!CopyExtendedAttributes(original.Descriptor(), file_.Descriptor(), error)) return Attributes::kFailed;
  const mode_t mode = info.st_mode & 07777;
  if (fchmod(file_.Descriptor(), mode) == 0) return Attributes::kCopied;
  // A filesystem without Unix permissions (FAT, some FUSE ones) refuses any
  // mode, and says so with one of these; the copy then has the filesystem's
  // own, which is fine unless it would let someone do more than the original
  // did. Any other failure (a disk error) leaves the image alone.
  const int refusal = errno;
  const bool keeps_no_permissions = refusal == EPERM || refusal == ENOSYS || refusal == EOPNOTSUPP;
  struct stat copy {};
  if (keeps_no_permissions && fstat(file_.Descriptor(), &copy) == 0 && (copy.st_mode & 07777 & ~mode) == 0) {
    char text[96];
    (void)std::snprintf(text, sizeof text, "its filesystem refused mode %04o; it now has mode %04o",
                        static_cast<unsigned>(mode), static_cast<unsigned>(copy.st_mode & 07777));
    *note = text;
    return Attributes::kCopied;
  }
  *error = std::string("cannot set its mode: ") + std::strerror(refusal);
  return Attributes::kFailed;
}

Replacement::Attributes Replacement::TakeModeOf(const File& input, const File& replaced, std::string* error) {
  struct stat info {};
  if (fstat(input.Descriptor(), &info) != 0) {
    *error = std::strerror(errno);
    return Attributes::kFailed;
  }
  struct stat old {};
  const bool replaces = replaced.IsOpen() && fstat(replaced.Descriptor(), &old) == 0;
  if (replaces && old.st_uid != geteuid()) {
    // Another user's output keeps its owner, or is not replaced.
    if (fchown(file_.Descriptor(), old.st_uid, old.st_gid) != 0) return Attributes::kOtherOwner;
  } else if (replaces) {
    (void)fchown(file_.Descriptor(), static_cast<uid_t>(-1), old.st_gid);  // checked below
  }
  // As cp does: an output that exists keeps its own mode (and group); a new
  // one gets the input's mode less the umask.
  const mode_t mask = umask(0);
  (void)umask(mask);
  mode_t mode = replaces ? old.st_mode & 0777 : info.st_mode & 0777 & ~mask;
  struct stat made {};
  if (replaces && fstat(file_.Descriptor(), &made) == 0 && made.st_gid != old.st_gid) {
    // Another group than the old output's gets no more than everyone else.
    mode = static_cast<mode_t>((mode & ~static_cast<mode_t>(070)) | ((mode & 07) << 3));
  }
  if (fchmod(file_.Descriptor(), mode) != 0) {
    const int refusal = errno;
    struct stat copy {};
    if (fstat(file_.Descriptor(), &copy) == 0 && (copy.st_mode & 07777 & ~mode) == 0) return Attributes::kCopied;
    *error = std::string("cannot set its mode: ") + std::strerror(refusal);
    return Attributes::kFailed;
  }
  return Attributes::kCopied;
}

bool Replacement::Commit(Target& target, std::string* error, const Target* read) {
  if (!file_.Sync()) {
    *error = std::string("cannot flush the new copy to disk: ") + std::strerror(errno);
    return false;
  }
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
        std::memcpy(g_pending_name, temp_name_.c_str(), temp_name_.size() + 1);
        g_pending_directory = directory_;
        g_pending = 1;
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
          g_pending = 0;
          return false;
        }
        *error = same ? "another program opened it for writing while it was being renamed"
                      : "another program replaced it during the rename";
        return false;
      }
      g_pending = 0;
      committed_ = true;
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
      g_pending = 0;
    }
  }
  // The result is in place once the rename succeeded; flushing the folder
  // only makes the new name durable sooner, so it waits until the run leaves
  // this folder, and its failure is not the file's failure. A crash before
  // it leaves the original or the result, never a mix.
  struct stat folder {};
  if (fstat(directory_, &folder) != 0) return true;
  if (!g_unflushed_directory.IsOpen() || folder.st_dev != g_unflushed_device ||
      folder.st_ino != g_unflushed_inode) {
    FlushDirectories();
    File opened(openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.IsOpen()) {
      // A folder without read permission cannot be opened to be flushed:
      // the whole filesystem is, through the new file, at once.
      (void)syncfs(file_.Descriptor());  // as for the folder, no failure of the file
      return true;
    }
    g_unflushed_directory = std::move(opened);
    g_unflushed_descriptor = g_unflushed_directory.Descriptor();
    g_unflushed_device = folder.st_dev;
    g_unflushed_inode = folder.st_ino;
  }
  return true;
}

void FlushDirectories() {
  if (!g_unflushed_directory.IsOpen()) return;
  (void)g_unflushed_directory.Sync();  // see Commit: a late flush failing is no failure of the files
  g_unflushed_descriptor = -1;
  g_unflushed_directory.Close();
}

// The mask the run had before InterruptsHeld, restored after it (one at a time).
sigset_t g_mask_before_hold;

InterruptsHeld::InterruptsHeld() {
  const sigset_t set = InterruptSet();
  (void)sigprocmask(SIG_BLOCK, &set, &g_mask_before_hold);
}

InterruptsHeld::~InterruptsHeld() {
  (void)sigprocmask(SIG_SETMASK, &g_mask_before_hold, nullptr);  // a signal that came meanwhile ends the run now
}

void PrepareProcess() {
  // With a standard stream closed, the next file opened would take its number
  // and the report would be written into an image.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) std::_Exit(125);
  }
  struct sigaction action {};
  action.sa_handler = RemovePendingAndDie;
  action.sa_mask = InterruptSet();
  const auto handle = [&action](int signal_number) {
    struct sigaction before {};
    if (sigaction(signal_number, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
    (void)sigaction(signal_number, &action, nullptr);  // fails only for numbers it cannot catch
  };
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&action.sa_mask, signal_number) == 1) handle(signal_number);
  }
  for (int signal_number : kFaults) handle(signal_number);
}

std::vector<std::string> CommandLine(int argc, char** argv) {
  // The shell has expanded wildcards, and names are bytes already.
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace corvane::os
