// POSIX implementation of the platform layer: descriptors, status, listing,
// the target of a repair (resolved once, locked, checked) and the temporary
// file that replaces it by rename. A signal handler removes a pending
// temporary file, so an interrupted run leaves none.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

std::int64_t File::ReadFull(void* buffer, std::int64_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return read(fd_, bytes + at, static_cast<std::size_t>(chunk));
  });
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

File CreateTruncated(const std::string& path) {
  return File(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
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

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = readdir(listing)) names->emplace_back(entry->d_name);
  closedir(listing);
  return true;
}

std::string ErrorText(int error) { return std::strerror(error); }

bool IsAccessDenied(int error) { return error == EACCES || error == EPERM; }

int Target::Open(const std::string& path, Access access) {
  // Symbolic links are followed here, one step at a time relative to the folder
  // reached so far: no length limit on the working folder, no search
  // permission needed above it, and the result is a folder kept open.
  std::string name = NameOf(path);
  directory_ = File(open(DirectoryOf(path).c_str(), kFolderFlags));
  struct stat info {};
  for (int hops = 0; directory_.IsOpen(); ++hops) {
    if (fstatat(directory_.Descriptor(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISLNK(info.st_mode)) break;
    std::string link;
    if (hops == 40) return ELOOP;
    if (!ReadLink(directory_.Descriptor(), name, &link)) return errno;
    const std::string folder = DirectoryOf(link);
    const int base = link.starts_with('/') ? AT_FDCWD : directory_.Descriptor();
    directory_ = File(openat(base, folder.c_str(), kFolderFlags));
    name = NameOf(link);
  }
  if (!directory_.IsOpen()) return errno;
  name_ = std::move(name);
  if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    status_ = FileStatus{};  // a FIFO or a device is not even opened
    return 0;
  }
  if (const int error = OpenInFolder(directory_.Descriptor(), name_, access, &file_); error != 0) return error;
  return Stat();
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
    if (const int error = OpenInFolder(directory_.Descriptor(), name_, access, &file_); error != 0) return error;
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

int Target::Reserve(std::int64_t size) {
  // A copy-on-write filesystem writes every block anew, so the whole result
  // must fit in the free space, whatever the file holds already.
  struct statvfs space {};
  if (fstatvfs(file_.Descriptor(), &space) == 0 &&
      static_cast<std::uint64_t>(size) / space.f_frsize >= space.f_bavail) {
    return ENOSPC;
  }
  int result = 0;
  do {
    result = posix_fallocate(file_.Descriptor(), 0, static_cast<off_t>(size));
  } while (result == EINTR);
  // A failed reservation may have grown the file with what it got.
  struct stat now {};
  if (result != 0 && fstat(file_.Descriptor(), &now) == 0 && now.st_size > status_.size) {
    (void)ftruncate(file_.Descriptor(), static_cast<off_t>(status_.size));  // the reservation's error says enough
  }
  return result;
}

Replacement::~Replacement() {
  if (temp_name_.empty() || committed_) return;
  const ScopedHold hold;
  g_pending = 0;
  (void)unlinkat(directory_, temp_name_.c_str(), 0);  // nothing more to do if it is gone
}

int Replacement::Create(const Target& target) {
  directory_ = target.directory_.Descriptor();
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

bool Replacement::CopyAttributesFrom(const File& original, std::string* error) {
  struct stat info {};
  if (fstat(original.Descriptor(), &info) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  // Ownership first: a change of owner clears the set-id bits that fchmod then
  // restores. Only root may give a file away; the group can often be kept all
  // the same. A copy in another group is refused unless the group's bits are
  // those of everyone else: the other group would gain what the old one had,
  // and the old one, shut out before, would gain what everyone has.
  if (fchown(file_.Descriptor(), info.st_uid, info.st_gid) != 0) (void)fchown(file_.Descriptor(), -1, info.st_gid);
  struct stat owned {};
  const bool group_differs = ((info.st_mode >> 3) & 07) != (info.st_mode & 07);
  if (fstat(file_.Descriptor(), &owned) != 0 || (owned.st_gid != info.st_gid && group_differs)) {
    *error = "cannot keep its group";
    return false;
  }
  if (!CopyExtendedAttributes(original.Descriptor(), file_.Descriptor(), error)) return false;
  const mode_t mode = info.st_mode & 07777;
  if (fchmod(file_.Descriptor(), mode) == 0) return true;
  // A filesystem without Unix permissions (FAT, some FUSE ones) refuses any
  // mode; the copy then has the filesystem's own, which is fine unless it
  // would let someone do more than the original did.
  const int refusal = errno;
  struct stat copy {};
  if (fstat(file_.Descriptor(), &copy) == 0 && (copy.st_mode & 07777 & ~mode) == 0) return true;
  *error = std::string("cannot set its mode: ") + std::strerror(refusal);
  return false;
}

bool Replacement::Commit(Target& target, std::string* error, const Target* read) {
  if (!file_.Sync()) {
    *error = std::string("cannot flush to disk: ") + std::strerror(errno);
    return false;
  }
  file_.Close();
  if (!(read != nullptr ? *read : target).Unchanged()) {
    *error = "it changed while it was being repaired";
    return false;
  }
  if (!target.StillNamed()) {
    *error = "its name no longer refers to the file that was read";
    return false;
  }
  {
    const ScopedHold hold;
    if (renameat(directory_, temp_name_.c_str(), directory_, target.name_.c_str()) != 0) {
      *error = std::string("cannot replace the file: ") + std::strerror(errno);
      return false;
    }
    committed_ = true;
    g_pending = 0;
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
    g_unflushed_directory = File(openat(directory_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
