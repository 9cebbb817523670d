// Descriptors and memory: File's whole-record reads and writes, its flush
// and reservation, a device opened as it is, the data Buffer, and the
// system's text for an error number.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/posix/posix.h"
#include "platform/transfer.h"

namespace corvane::os {

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

std::int64_t File::ReadAt(void* buffer, std::int64_t count, std::int64_t offset, int* error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  int failure = 0;
  const std::int64_t got = TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    const ssize_t moved = pread(fd_, bytes + at, static_cast<std::size_t>(chunk), static_cast<off_t>(offset + at));
    failure = moved < 0 ? errno : 0;
    return moved;
  });
  if (error != nullptr) *error = failure;
  return got;
}

bool posix::WaitedForRoom(int fd) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  pollfd ready{fd, POLLOUT, 0};
  return poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

std::int64_t File::WriteFull(const void* buffer, std::int64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    const ssize_t moved = write(fd_, bytes + at, static_cast<std::size_t>(chunk));
    if (moved < 0 && posix::WaitedForRoom(fd_)) errno = EINTR;  // EINTR has the write tried again
    return moved;
  });
}

bool File::Rewind() { return lseek(fd_, 0, SEEK_SET) == 0; }

bool File::Sync() { return fsync(fd_) == 0; }

int OpenDirect(const std::string& path, File* file) {
  *file = File(open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
  return file->IsOpen() ? 0 : errno;
}

int OpenStandardOutput(File* file) {
  // A duplicate, not the name opened again: that would start at offset 0 of a
  // regular file, over what is already there, and a socket has no name to open.
  *file = File(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  return file->IsOpen() ? 0 : errno;
}

int posix::CheckSizeLimit(std::int64_t size) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<std::uint64_t>(size) > limit.rlim_cur ? EFBIG : 0;
}

int File::Reserve(std::int64_t size) {
  // Found before a byte is written, the limit fails this file alone.
  if (const int error = posix::CheckSizeLimit(size); error != 0) return error;
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

std::string ErrorText(int error) { return std::strerror(error); }

std::string LastErrorText() { return std::strerror(errno); }

bool LastErrorMeansFull() { return MeansFull(errno); }

bool MeansFull(int error) { return error == ENOSPC || error == EDQUOT; }

bool IsAccessDenied(int error) { return error == EACCES || error == EPERM; }

bool IsOutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }

int MostOpenFiles() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > static_cast<rlim_t>(INT32_MAX)) return INT32_MAX;
  return static_cast<int>(limit.rlim_cur);
}

bool MeansReadOnly(int error) { return error == EACCES || error == EPERM || error == EROFS; }

}  // namespace corvane::os
