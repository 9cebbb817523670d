// The file being repaired, on Windows: opened by its name (no links are
// resolved), retried while another program holds it, a read-only one told
// apart; its status kept to check for changes, and the room for a write
// through it claimed first. Windows has no lock and no lease to take.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <vector>

#include "platform/os.h"
#include "platform/win32/win32.h"
#include "report.h"

namespace corvane::os {

using namespace win32;

namespace {

// Opens an input for `access`: a file another program holds for a moment is
// tried again as a replacement is, and a read-only one is told apart from
// one held open. Returns the descriptor, or -1 with the error in `error`.
int OpenInput(const std::wstring& path, Access access, DWORD* error) {
  const DWORD rights = access == Access::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  const int flags = access == Access::kRead ? _O_RDONLY : _O_RDWR;
  // Windows refuses to write a file marked read-only (wine lets its
  // administrator do it), and waiting does not change that.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (access == Access::kReadWrite && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *error = ERROR_FILE_READ_ONLY;
    return -1;
  }
  int fd = -1;
  bool told = false;
  *error = win32::RetryWhileBusy(
      [&]() -> DWORD {
        fd = OpenShared(path, rights, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, flags);
        if (fd >= 0) return ERROR_SUCCESS;
        const DWORD failure = GetLastError();
        if (win32::IsBusy(failure) && !told) {
          Report("\tWaiting for another program to finish with this file...\n");
          told = true;
        }
        return failure;
      },
      win32::kRetryAttempts, win32::kRetryPauseMs);
  return fd;
}

}  // namespace

int Target::Open(const std::string& path, Access access) {
  // Windows resolves no links here: the name given is the one replaced.
  name_ = path;
  if (!QueryStatus(path, &status_)) return static_cast<int>(GetLastError());
  exists_ = true;
  if (!status_.is_regular && !status_.is_directory) return 0;  // a device is never opened
  if (status_.is_directory) return ERROR_ACCESS_DENIED;  // read as a file, it fails as one
  DWORD error = ERROR_SUCCESS;
  file_ = File(OpenInput(SystemPath(path), access, &error));
  if (!file_.IsOpen()) return static_cast<int>(error);  // the caller reports it, with ErrorText
  return Stat();
}

int Target::OpenOutput(const std::string& path) {
  output_ = true;
  name_ = path;
  if (!QueryStatus(path, &status_)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(error);  // a new file
  }
  exists_ = true;
  if (!status_.is_regular) return 0;
  // A read-only output is refused, as copy refuses it, not replaced.
  const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return ERROR_FILE_READ_ONLY;
  }
  file_ = File(OpenShared(SystemPath(path), GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY));
  if (!file_.IsOpen()) return static_cast<int>(GetLastError());
  return Stat();
}

// The file was opened for reading and writing already: Windows has no lease
// that a descriptor open for writing would rule out.
int Target::OpenForWriting() { return 0; }

// No read lease on Windows: another program may open the image for writing as
// it is shared that way; the checks of size, write time and name stay.
int Target::TakeLease() { return kNoLease; }
bool Target::LeaseBroken() const { return false; }
void Target::DropLease() {}

std::string Target::LeftoverCopy() const {
  static std::vector<std::wstring> asked;
  std::wstring wide = Wide(name_);
  const std::wstring full = IsVerbatim(wide) ? wide : FullPath(wide);
  const std::wstring folder = win32::FolderOf(full);
  if (folder.empty() || std::find(asked.begin(), asked.end(), folder) != asked.end()) return std::string();
  asked.push_back(folder);
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((win32::VerbatimForm(folder) + L".corvane-*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return std::string();
  FindClose(listing);
  return Narrow(entry.cFileName);
}

int Target::Stat() {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(HandleOf(file_), &info) == 0) return static_cast<int>(GetLastError());
  status_.size = SizeOf(info);
  device_ = info.dwVolumeSerialNumber;
  inode_ = IndexOf(info);
  modified_ns_ = WrittenAt(info);
  return 0;
}

// Windows has no advisory lock: a byte-range lock would stop viewers from
// reading the image, so a second run at the same time is not held off here.
int Target::Lock(Access, bool) { return 0; }

bool Target::IsSameFileAs(const std::string& path) const {
  File other(OpenShared(SystemPath(path), 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY));
  BY_HANDLE_FILE_INFORMATION info{};
  return other.IsOpen() && GetFileInformationByHandle(HandleOf(other), &info) != 0 &&
         info.dwVolumeSerialNumber == device_ && IndexOf(info) == inode_;
}

bool Target::Unchanged() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(HandleOf(file_), &info) == 0) return false;
  return SizeOf(info) == status_.size && WrittenAt(info) == modified_ns_;
}

bool Target::StillNamed() const { return IsSameFileAs(name_); }

bool Target::HasSize(std::int64_t size) const {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(HandleOf(file_), &info) != 0 && SizeOf(info) == size;
}

int Target::Reserve(std::int64_t size) {
  // From here the image is written through: a console event waits for it.
  win32::BeginWriteThrough(file_.Descriptor());
  // Extending the file to its final size claims the space before a byte changes.
  if (size <= status_.size) return 0;
  LARGE_INTEGER end{};
  end.QuadPart = size;
  if (!SetFilePointerEx(HandleOf(file_), end, nullptr, FILE_BEGIN) || !SetEndOfFile(HandleOf(file_))) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}

bool Target::RestoreSize() {
  LARGE_INTEGER end{};
  end.QuadPart = status_.size;
  return SetFilePointerEx(HandleOf(file_), end, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(HandleOf(file_)) != 0;
}

}  // namespace corvane::os
