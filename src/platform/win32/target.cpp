// The file being repaired, on Windows: opened by its long name (no links are
// resolved), retried while another program holds it, a read-only one told
// apart; kept from other runs by a lock named after it, its status kept to
// check for changes, and the room for a write through it claimed first.
// Windows has no lease to take.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
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

// The name of the lock that keeps two runs off one file: its folder's volume
// and index (the same whatever drive letter or share reaches the folder) and
// its name in capitals, hashed.
std::wstring LockName(const std::wstring& path) {
  const std::wstring full = IsVerbatim(path) ? path : FullPath(path);
  const std::wstring folder = win32::FolderOf(full);
  std::wstring key = full.substr(folder.size());
  BY_HANDLE_FILE_INFORMATION info{};
  const HANDLE handle = CreateFileW(win32::VerbatimForm(folder).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE || GetFileInformationByHandle(handle, &info) == 0) key = full;
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t c : key) hash = (hash ^ c) * 1099511628211ull;
  std::wstring name = L"\\\\.\\pipe\\Corvane";
  for (const std::uint64_t part : {std::uint64_t{info.dwVolumeSerialNumber}, IndexOf(info), hash}) {
    name += L'-';
    for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(part >> shift) & 15];
  }
  return name;
}

// Holds the lock `name`: the one instance of a pipe of that name, which
// Windows lets one process make at a time, on the whole machine, and takes
// back when its handle is closed (by whichever thread) or the process ends,
// however it ends. Waits for the run that has it when `wait`, else sets
// `busy`; null, and not busy, when no pipe can be made at all.
std::shared_ptr<void> HoldLock(const std::wstring& name, bool wait, bool* busy) {
  for (;;) {
    const HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_REJECT_REMOTE_CLIENTS,
                                         1, 0, 0, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return std::shared_ptr<void>(pipe, [](void* held) { CloseHandle(held); });
    // Another user's run has it when its pipe may not be shared.
    if (GetLastError() != ERROR_PIPE_BUSY && GetLastError() != ERROR_ACCESS_DENIED) return nullptr;
    if (!wait) {
      *busy = true;
      return nullptr;
    }
    Sleep(kRetryPauseMs);
  }
}

// Opens the image `name` for `access` into `file`; 0 or the error.
int OpenImage(const std::string& name, Access access, File* file) {
  DWORD error = ERROR_SUCCESS;
  *file = File(OpenInput(SystemPath(name), access, &error));
  return file->IsOpen() ? 0 : static_cast<int>(error);
}

}  // namespace

int Target::Open(const std::string& path, Access access) {
  // Windows resolves no links here: the name given is the one replaced.
  name_ = path;
  if (!QueryStatus(path, &status_)) return static_cast<int>(GetLastError());
  exists_ = true;
  if (!status_.is_regular && !status_.is_directory) return 0;  // a device is never opened
  if (status_.is_directory) return ERROR_ACCESS_DENIED;  // read as a file, it fails as one
  name_ = LongName(path);
  // While another run has the image this one keeps no handle on it, which
  // would keep the other from replacing it: Lock waits, then opens it. Its
  // identity is known all the same, for a copy of it this run has waiting.
  bool busy = false;
  held_ = HoldLock(LockName(Wide(name_)), false, &busy);
  if (busy) {
    const File seen(OpenShared(SystemPath(name_), 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY));
    BY_HANDLE_FILE_INFORMATION info{};
    if (seen.IsOpen() && GetFileInformationByHandle(HandleOf(seen), &info) != 0) {
      device_ = info.dwVolumeSerialNumber;
      inode_ = IndexOf(info);
    }
    return 0;
  }
  if (const int error = OpenImage(name_, access, &file_); error != 0) return error;  // the caller reports it
  return Stat();
}

int Target::OpenOutput(const std::string& path) {
  output_ = true;
  name_ = LongName(path);
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

// A temporary file of a run still working is open there (and marked for
// removal), so it cannot be opened alone: it is passed over.
std::string Target::LeftoverCopy() const {
  static std::vector<std::wstring> asked;
  std::wstring wide = Wide(name_);
  const std::wstring full = IsVerbatim(wide) ? wide : FullPath(wide);
  const std::wstring folder = win32::VerbatimForm(win32::FolderOf(full));
  if (folder.size() <= 4 || std::find(asked.begin(), asked.end(), folder) != asked.end()) return std::string();
  asked.push_back(folder);
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((folder + L".corvane-*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return std::string();
  std::string found;
  do {
    if (!win32::IsTemporaryName(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const HANDLE probe = CreateFileW((folder + entry.cFileName).c_str(), DELETE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) continue;
    CloseHandle(probe);
    found = Narrow(entry.cFileName);
  } while (found.empty() && FindNextFileW(listing, &entry));
  FindClose(listing);
  return found;
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

// A byte-range lock would stop viewers from reading the image, so runs keep
// each other off a file with a lock named after it (taken by Open), held
// until this handle, or the copy it goes with, goes away. A run that finds it
// taken opens the image only once the other run is done with it, and so
// reads what that run wrote.
int Target::Lock(Access access, bool wait) {
  if (file_.IsOpen()) return 0;
  bool busy = false;
  held_ = HoldLock(LockName(Wide(name_)), wait, &busy);
  if (busy) return EWOULDBLOCK;
  if (const int error = OpenImage(name_, access, &file_); error != 0) return error;
  return Stat();
}

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
