// POSIX implementation of the platform layer: descriptors, status, listing,
// and the temporary file that replaces a rewritten file by rename. A signal
// handler removes a pending temporary file, so an interrupted run leaves none.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/transfer.h"

namespace corvane::os {
namespace {

// The temporary file an interrupting signal must remove; null when there is none.
// Only a pointer is read in the handler, which keeps it async-signal-safe.
const char* volatile g_pending_temp = nullptr;

void RemovePendingAndDie(int signal_number) {
  const char* pending = g_pending_temp;
  // Nothing could be done about a failure here: the process is ending anyway.
  if (pending != nullptr) (void)unlink(pending);
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}

// The directory of the latest replacement, until it is flushed to disk.
std::string g_unflushed_directory;


std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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

std::int64_t File::WriteFull(const void* buffer, std::int64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return write(fd_, bytes + at, static_cast<std::size_t>(chunk));
  });
}

bool File::Rewind() { return lseek(fd_, 0, SEEK_SET) == 0; }

bool File::Sync() { return fsync(fd_) == 0; }

File OpenExisting(const std::string& path, Access access) {
  const int flags = (access == Access::kRead ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  return File(open(path.c_str(), flags));
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

bool IsReadable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return false;
  while (const dirent* entry = readdir(listing)) names->emplace_back(entry->d_name);
  closedir(listing);
  return true;
}

Replacement::~Replacement() {
  if (!temp_path_.empty() && !committed_) {
    g_pending_temp = nullptr;
    unlink(temp_path_.c_str());
  }
}

bool Replacement::Create(const std::string& target) {
  char resolved[PATH_MAX];
  target_ = realpath(target.c_str(), resolved) != nullptr ? std::string(resolved) : target;
  std::string name = DirectoryOf(target_) + "/.corvane-XXXXXX";
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  temp_path_ = std::move(name);
  file_ = File(fd);
  g_pending_temp = temp_path_.c_str();
  return true;
}

bool Replacement::CopyAttributesFrom(const File& original) {
  struct stat info {};
  if (fstat(original.Descriptor(), &info) != 0) return false;
  // Ownership first: a change of owner clears the set-id bits that fchmod then restores.
  // Only root may give a file away, so a refusal here is expected and harmless.
  if (fchown(file_.Descriptor(), info.st_uid, info.st_gid) != 0) errno = 0;
  return fchmod(file_.Descriptor(), info.st_mode & 07777) == 0;
}

bool Replacement::Commit(std::string* error) {
  if (!file_.Sync()) {
    *error = std::string("cannot flush to disk: ") + std::strerror(errno);
    return false;
  }
  file_.Close();
  if (rename(temp_path_.c_str(), target_.c_str()) != 0) {
    *error = std::string("cannot replace the file: ") + std::strerror(errno);
    return false;
  }
  committed_ = true;
  g_pending_temp = nullptr;
  // The result is in place once the rename succeeded; flushing the directory
  // only makes the new name durable sooner, so it waits until the run leaves
  // this directory, and its failure is not the file's failure. A crash before
  // it leaves the original or the result, never a mix.
  const std::string directory = DirectoryOf(target_);
  if (directory != g_unflushed_directory) FlushDirectories();
  g_unflushed_directory = directory;
  return true;
}

void FlushDirectories() {
  if (g_unflushed_directory.empty()) return;
  const int dir = open(g_unflushed_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);  // see Commit: a late flush failing is no failure of the files
    close(dir);
  }
  g_unflushed_directory.clear();
}

void PrepareProcess() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    (void)std::signal(signal_number, RemovePendingAndDie);  // fails only for invalid numbers
  }
}

std::vector<std::string> CommandLine(int argc, char** argv) {
  // The shell has expanded wildcards, and names are bytes already.
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace corvane::os
