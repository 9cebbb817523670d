// Descriptors and memory on Windows: File's whole-record reads and writes
// through the C runtime, its flush and reservation, a device opened as it
// is, the data Buffer, and the system's text for an error number.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/transfer.h"
#include "platform/win32/win32.h"

namespace corvane::os {
namespace win32 {

DWORD Outcome(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : GetLastError(); }

}  // namespace win32

using namespace win32;

bool Buffer::Allocate(std::uint64_t size) {
  Release();
  if (size == 0) return true;
  if (size > SIZE_MAX) return false;
  void* memory = size < kLargeBuffer
                     ? std::malloc(size)
                     : VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  data_ = static_cast<std::uint8_t*>(memory);
  size_ = data_ != nullptr ? size : 0;
  return data_ != nullptr;
}

void Buffer::Release() {
  if (data_ != nullptr && size_ < kLargeBuffer) std::free(data_);
  if (data_ != nullptr && size_ >= kLargeBuffer) VirtualFree(data_, 0, MEM_RELEASE);
  data_ = nullptr;
  size_ = 0;
}

void File::Close() {
  if (fd_ >= 0) {
    _close(fd_);
    win32::EndWriteThrough(fd_);
  }
  fd_ = -1;
}

std::int64_t File::ReadFull(void* buffer, std::int64_t count, int* error) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  int failure = 0;
  const std::int64_t got = TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    const int moved = _read(fd_, bytes + at, static_cast<unsigned>(chunk));
    // The runtime keeps the system's own error beside errno; ErrorText takes that one.
    if (moved < 0) failure = _doserrno != 0 ? static_cast<int>(_doserrno) : ERROR_READ_FAULT;
    return moved;
  });
  if (error != nullptr) *error = failure;
  return got;
}

std::int64_t File::ReadAt(void* buffer, std::int64_t count, std::int64_t offset, int* error) {
  // The runtime has no positioned read: move there and back, so a rewrite
  // through the same descriptor keeps writing where it was.
  const std::int64_t position = _lseeki64(fd_, 0, SEEK_CUR);
  if (position < 0 || _lseeki64(fd_, offset, SEEK_SET) != offset) return 0;
  const std::int64_t got = ReadFull(buffer, count, error);
  return _lseeki64(fd_, position, SEEK_SET) == position ? got : 0;
}

std::int64_t File::WriteFull(const void* buffer, std::int64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return _write(fd_, bytes + at, static_cast<unsigned>(chunk));
  });
}

bool File::Rewind() {
  // A file is rewound only to be rewritten in place, which a console event
  // then lets finish: it ends when the file is closed.
  win32::BeginWriteThrough(fd_);
  return _lseeki64(fd_, 0, SEEK_SET) == 0;
}

bool File::Sync() { return FlushFileBuffers(HandleOf(*this)) != 0; }

int OpenDirect(const std::string& path, File* file) {
  *file = File(_wopen(SystemPath(path).c_str(), _O_WRONLY | _O_BINARY));
  return file->IsOpen() ? 0 : static_cast<int>(GetLastError());
}

int OpenStandardOutput(File* file) {
  // A duplicate shares the position of the handle the caller gave, binary as
  // the run set it; the name opened again would start at the beginning.
  *file = File(_dup(_fileno(stdout)));
  return file->IsOpen() ? 0 : static_cast<int>(_doserrno != 0 ? _doserrno : ERROR_INVALID_HANDLE);
}

int File::Reserve(std::int64_t size) {
  // The allocation, not the size: the file grows as it is written.
  FILE_ALLOCATION_INFO allocation{};
  allocation.AllocationSize.QuadPart = size;
  if (SetFileInformationByHandle(HandleOf(*this), FileAllocationInfo, &allocation, sizeof allocation) != 0) return 0;
  const DWORD error = GetLastError();
  // Any other refusal (a pipe, a device, a filesystem without it) leaves the writes to find out.
  return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? static_cast<int>(error) : 0;
}

std::string ErrorText(int error) { return win32::ErrorText(static_cast<DWORD>(error)); }

// Reads and writes go through the C runtime, which keeps the cause in errno.
std::string LastErrorText() { return std::strerror(errno); }

// A write says it in errno, a reservation in the system's last error.
bool LastErrorMeansFull() {
  const DWORD error = GetLastError();
  return errno == ENOSPC || MeansFull(static_cast<int>(error));
}

bool MeansFull(int error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

bool IsAccessDenied(int error) { return error == ERROR_ACCESS_DENIED; }

bool IsOutOfDescriptors(int error) { return error == ERROR_TOO_MANY_OPEN_FILES; }

// Files are opened through the C runtime, whose descriptors run to 8192.
int MostOpenFiles() { return 8192; }

bool MeansReadOnly(int error) {
  return error == ERROR_FILE_READ_ONLY || error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

}  // namespace corvane::os
