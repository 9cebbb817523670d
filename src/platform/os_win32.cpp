// Windows implementation of the platform layer. Paths are UTF-8 inside the
// program and wide strings at the API, resolved to their full "\\?\" form where
// they are too long for the usual limit; files are C runtime descriptors in
// binary mode over handles opened with FILE_SHARE_DELETE, so an input that is
// still open can be replaced; a rewritten image replaces the original with
// ReplaceFileW, which keeps its attributes, streams, security and creation time.
// The temporary file is marked for removal while it is written, so not even a
// killed run leaves it behind.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <set>

#include "platform/os.h"
#include "platform/transfer.h"
#include "platform/win32.h"
#include "report.h"

namespace corvane::os {
namespace {

using win32::ErrorText;
using win32::Narrow;
using win32::Wide;

// Full paths from this length on get the "\\?\" form: the usual limit is 260
// characters for a file and 248 for a folder.
constexpr std::size_t kLongPath = MAX_PATH - 12;

DWORD Outcome(BOOL succeeded) { return succeeded ? ERROR_SUCCESS : GetLastError(); }

bool IsVerbatim(std::wstring_view path) { return path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\"); }

// "X:" alone, or "\\?\X:", which a drive root becomes once its separator is cut.
bool IsBareDrive(std::wstring_view path) {
  if (path.starts_with(L"\\\\?\\")) path.remove_prefix(4);
  return path.size() == 2 && path[1] == L':' && std::iswalpha(path[0]) != 0;
}

// The full path the system makes of `path`; empty when it makes none.
std::wstring FullPath(const std::wstring& path) {
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return std::wstring();
  full.resize(length);
  return full;
}

// The form of `path` to hand to the system. A bare drive stands for its root;
// in a "\\?\" path, where the system turns no '/' into '\', '/' (which no name
// may hold) is made a separator; a path whose full form is long gets the
// "\\?\" form; any other is handed on as it is.
std::wstring SystemPath(std::wstring path) {
  if (IsBareDrive(path)) path += L'\\';
  if (IsVerbatim(path)) {
    std::replace(path.begin() + 4, path.end(), L'/', L'\\');
    return path;
  }
  const std::wstring full = FullPath(path);
  if (full.size() < kLongPath) return path;
  return win32::VerbatimForm(full);
}

std::wstring SystemPath(const std::string& path) { return SystemPath(Wide(path)); }

// A descriptor over a handle opened so that the file can be renamed over while open.
int OpenShared(const std::wstring& path, DWORD access, DWORD disposition, DWORD attributes, int flags) {
  HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, disposition, attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
}

// A file's size, index on its volume and last write time, from its information.
std::int64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
}
std::uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}
std::int64_t WrittenAt(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                   info.ftLastWriteTime.dwLowDateTime);
}

HANDLE HandleOf(const File& file) { return reinterpret_cast<HANDLE>(_get_osfhandle(file.Descriptor())); }

// Has the system remove an open file when its last handle is closed, however
// the process ends (`remove`), or takes that mark off again.
bool MarkForRemoval(const File& file, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(HandleOf(file), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

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

// Folders whose leftover temporary files were looked for in this run.
std::set<std::wstring>& FoldersLookedAt() {
  static std::set<std::wstring> folders;
  return folders;
}

// Names, once per folder and run, a temporary file that a run stopped
// before this way of removing them (or on a file system without it) left
// behind. One that is marked for removal belongs to a run still working and
// cannot be opened, so it is passed over.
void ReportLeftovers(const std::wstring& folder, const std::wstring& verbatim_folder) {
  if (!FoldersLookedAt().insert(verbatim_folder).second) return;
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW((verbatim_folder + L".corvane-*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return;
  do {
    if (!win32::IsTemporaryName(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    HANDLE probe = CreateFileW((verbatim_folder + entry.cFileName).c_str(), DELETE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (probe == INVALID_HANDLE_VALUE) continue;
    CloseHandle(probe);
    Report("Note: '%s' is a temporary file left by a run that was stopped; delete it when no other run is "
           "working in this folder\n",
           Narrow(folder + entry.cFileName).c_str());
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
}

// Replaces `target` by `temp`. ReplaceFileW keeps what Windows keeps of the
// original; where it cannot be used (no original, a file system without it)
// or has removed the original but not moved the new file in, a move does it.
DWORD ReplaceWith(const std::wstring& temp, const std::wstring& target) {
  // ReplaceFileW needs to delete the original, which a program that holds it
  // open may forbid; that is asked first, since some implementations leave
  // files of their own behind when it fails.
  HANDLE probe = CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE && win32::IsBusy(GetLastError())) return GetLastError();
  if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
  const DWORD error = Outcome(ReplaceFileW(target.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr));
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return Outcome(MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    default:
      return error;
  }
}

// Gives the replaced image the attributes the original had (`before`), in
// case the replacement did not carry them over, marked for backup as a changed
// file is, and never the hidden mark of the temporary file unless the original had it.
void KeepAttributes(const std::wstring& target, DWORD before) {
  constexpr DWORD kKept =
      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  const DWORD wanted = (before == INVALID_FILE_ATTRIBUTES ? 0 : before & kKept) | FILE_ATTRIBUTE_ARCHIVE;
  const DWORD now = GetFileAttributesW(target.c_str());
  if (now != INVALID_FILE_ATTRIBUTES && (now & (kKept | FILE_ATTRIBUTE_ARCHIVE)) != wanted) {
    (void)SetFileAttributesW(target.c_str(), wanted);  // the content is in place either way
  }
}

const std::wstring kNoPendingFile;

// The words of the command line whose last component holds '*' or '?' become
// the long names that match, sorted, folder part as typed; a word that matches
// nothing stays as it is, as in a POSIX shell.
void Expand(const std::wstring& word, std::vector<std::string>* words) {
  const std::size_t start = win32::LastComponentStart(word);
  const std::wstring_view pattern = std::wstring_view(word).substr(start);
  const std::wstring folder = word.substr(0, start);
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE listing = pattern.find_first_of(L"*?") == std::wstring_view::npos
                       ? INVALID_HANDLE_VALUE
                       : FindFirstFileW(SystemPath(folder + L"*").c_str(), &entry);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring_view name = entry.cFileName;
      if (name != L"." && name != L".." && win32::MatchesWildcard(pattern, name)) names.emplace_back(name);
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
  }
  if (names.empty()) {
    words->push_back(Narrow(word));
    return;
  }
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_LESS_THAN;
  });
  for (const std::wstring& name : names) words->push_back(Narrow(folder + name));
}

}  // namespace

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

std::int64_t File::ReadAt(void* buffer, std::int64_t count, std::int64_t offset) {
  // The runtime has no positioned read: move there and back, so a rewrite
  // through the same descriptor keeps writing where it was.
  const std::int64_t position = _lseeki64(fd_, 0, SEEK_CUR);
  if (position < 0 || _lseeki64(fd_, offset, SEEK_SET) != offset) return 0;
  const std::int64_t got = ReadFull(buffer, count);
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

// Standard output on a disk file is matched by its volume and index; a console
// or a pipe has neither, and a name such as "CON" is then written directly
// as any device is.
bool IsStandardOutput(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION out{};
  if (GetFileInformationByHandle(GetStdHandle(STD_OUTPUT_HANDLE), &out) == 0) return false;
  File named(OpenShared(SystemPath(path), 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY));
  BY_HANDLE_FILE_INFORMATION info{};
  return named.IsOpen() && GetFileInformationByHandle(HandleOf(named), &info) != 0 &&
         info.dwVolumeSerialNumber == out.dwVolumeSerialNumber && IndexOf(info) == IndexOf(out);
}

bool SameFile(const std::string& first, const std::string& second) {
  File one(OpenShared(SystemPath(first), 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY));
  File two(OpenShared(SystemPath(second), 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, _O_RDONLY));
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return one.IsOpen() && two.IsOpen() && GetFileInformationByHandle(HandleOf(one), &a) != 0 &&
         GetFileInformationByHandle(HandleOf(two), &b) != 0 && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         IndexOf(a) == IndexOf(b);
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

bool QueryStatus(const std::string& path, FileStatus* status) {
  // POSIX stat takes trailing separators; a root such as "C:\" keeps its own
  // (SystemPath gives it back).
  std::wstring trimmed = Wide(path);
  while (trimmed.size() > 1 && (trimmed.back() == L'/' || trimmed.back() == L'\\')) trimmed.pop_back();
  if (trimmed.empty() || trimmed == L"/" || trimmed == L"\\") return false;
  // Opened for its attributes only, which any sharing allows; links are followed.
  HANDLE handle = CreateFileW(SystemPath(trimmed).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  *status = FileStatus{};
  BY_HANDLE_FILE_INFORMATION info;
  const bool on_disk = GetFileType(handle) == FILE_TYPE_DISK;
  const bool known = !on_disk || GetFileInformationByHandle(handle, &info) != 0;
  if (on_disk && known) {
    status->is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->is_regular = !status->is_directory;
    status->size = status->is_directory ? 0 : SizeOf(info);
  }
  CloseHandle(handle);
  return known;
}

bool Exists(const std::string& path) { return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

Readable IsReadable(const std::string& path) {
  if (_waccess(SystemPath(path).c_str(), 4) == 0) return Readable::kYes;
  return errno == ENAMETOOLONG ? Readable::kNameTooLong : Readable::kNo;
}

std::string FolderOf(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return ".";
  if (separator == 0) return path.substr(0, 1);
  std::string folder = path.substr(0, separator);
  if (folder.back() == ':') folder += '\\';  // "D:\out.fit" is in "D:\", not in D:'s current folder
  return folder;
}

std::string ErrorText(int error) { return win32::ErrorText(static_cast<DWORD>(error)); }

// Reads and writes go through the C runtime, which keeps the cause in errno.
std::string LastErrorText() { return std::strerror(errno); }

bool IsAccessDenied(int error) { return error == ERROR_ACCESS_DENIED; }

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

int ListDirectory(const std::string& path, std::vector<std::string>* names) {
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(SystemPath(Wide(path) + L"\\*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  do {
    names->push_back(Narrow(entry.cFileName));
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  return 0;
}

Replacement::~Replacement() {
  if (temp_name_.empty() || committed_) return;
  file_.Close();
  const DWORD result = win32::RetryWhileBusy(
      [this] {
        return win32::Guarded(
            [this] {
              const DWORD error = Outcome(DeleteFileW(wide_temp_path_.c_str()));
              return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
            },
            &kNoPendingFile);
      },
      win32::kRetryAttempts, win32::kRetryPauseMs);
  if (result != ERROR_SUCCESS) {
    Report("Error: cannot remove the temporary file '%s': %s\n", temp_name_.c_str(), ErrorText(result).c_str());
  }
}

int Replacement::Create(const Target& target) {
  // The folder comes from the full path, so "\foo.fit", "D:foo.fit", UNC and
  // "\\?\" paths all get their temporary file beside the image.
  std::wstring wide = Wide(target.name_);
  if (IsVerbatim(wide)) std::replace(wide.begin() + 4, wide.end(), L'/', L'\\');
  const std::wstring full = IsVerbatim(wide) ? wide : FullPath(wide);
  const std::wstring folder = win32::FolderOf(full);
  if (folder.empty() || folder.size() == full.size()) return ERROR_BAD_PATHNAME;
  target_path_ = win32::VerbatimForm(full);
  ReportLeftovers(folder, win32::VerbatimForm(folder));
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t seed = GetTickCount64() ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = L".corvane-";
    for (int k = 0; k < 6; ++k) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      name += static_cast<wchar_t>(kLetters[(seed >> 33) % 62]);
    }
    const std::wstring temp = win32::VerbatimForm(folder) + name;
    // Hidden while it exists, so it does not clutter the user's folder, and
    // marked for removal, so the system removes it however the run ends; a
    // console event has to remove it by name only where that mark cannot be set.
    File created;
    std::wstring pending;
    const DWORD error = win32::Guarded(
        [&] {
          created = File(OpenShared(temp, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                                    _O_RDWR));
          if (!created.IsOpen()) return Outcome(FALSE);
          marked_ = MarkForRemoval(created, true);
          if (!marked_) pending = temp;
          return DWORD{ERROR_SUCCESS};
        },
        &pending);
    if (error == ERROR_SUCCESS) {
      temp_name_ = Narrow(folder + name);
      wide_temp_path_ = temp;
      file_ = std::move(created);
      return 0;
    }
    if (error != ERROR_FILE_EXISTS) return static_cast<int>(error);
  }
  return ERROR_FILE_EXISTS;
}

Replacement::Attributes Replacement::CopyAttributesFrom(const File& original, std::string*, std::string*) {
  // A new file takes its permissions from the folder, and ReplaceFileW gives
  // it the original's; the creation time is carried over here as well, for
  // the case where a plain move has to replace the file.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(HandleOf(original), &info) == 0) return Attributes::kCopied;
  (void)SetFileTime(HandleOf(file_), &info.ftCreationTime, nullptr, nullptr);  // a nicety, not the result
  return Attributes::kCopied;
}

// Windows has no mode bits or umask: a new output takes its folder's
// permissions, and ReplaceFileW gives a replaced one the old file's.
Replacement::Attributes Replacement::TakeModeOf(const File&, const File&, std::string*) {
  return Attributes::kCopied;
}

bool Replacement::Commit(Target& original, std::string* error, const Target* read) {
  if (!file_.Sync()) {
    *error = "cannot flush the new copy to disk: " + ErrorText(GetLastError());
    return false;
  }
  if (!(read != nullptr ? *read : original).Unchanged()) {
    *error = "it changed while it was being repaired";
    return false;
  }
  if (!original.output_ && !original.StillNamed()) {
    *error = "its name no longer refers to the file that was read";
    return false;
  }
  // The new file must outlive its handle now: from here until it has
  // replaced the image, a console event removes it by name.
  const DWORD kept =
      win32::Guarded([this] { return marked_ ? Outcome(MarkForRemoval(file_, false)) : DWORD{ERROR_SUCCESS}; },
                     &wide_temp_path_);
  if (kept != ERROR_SUCCESS) {
    *error = "cannot keep the new file: " + ErrorText(kept);
    return false;
  }
  file_.Close();
  original.Input().Close();  // replacing a file needs it closed by this program too
  const std::wstring& target = target_path_;
  const DWORD before = GetFileAttributesW(target.c_str());
  // A viewer, an indexer or a virus scanner may hold the file for a moment.
  const DWORD result = win32::RetryWhileBusy(
      [&] { return win32::Guarded([&] { return ReplaceWith(wide_temp_path_, target); }, &kNoPendingFile); },
      win32::kRetryAttempts, win32::kRetryPauseMs);
  if (result != ERROR_SUCCESS) {
    *error = "cannot replace the file: " + ErrorText(result);
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
      // The original is gone but the new file did not move in: it is all there is.
      *error = "is gone, " + *error + "; its repaired content is in '" + temp_name_ + "'";
      (void)win32::Guarded([] { return DWORD{ERROR_SUCCESS}; }, &kNoPendingFile);
      committed_ = true;
    }
    return false;
  }
  committed_ = true;
  KeepAttributes(target, before);
  return true;
}

// A console event lets a write through the image finish (see Target::Reserve).
InterruptsHeld::InterruptsHeld() = default;
InterruptsHeld::~InterruptsHeld() = default;

void FlushDirectories() {
  // MoveFileExW writes through, and ReplaceFileW's result is flushed before it.
}

void PrepareProcess() {
  // Reports are bytes, as on other systems: no line-end translation.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  win32::PrepareConsole();
}

std::vector<std::string> CommandLine(int argc, char** argv) {
  // No shell expands wildcards here, and argv holds names in the ANSI code
  // page; the wide command line has every name whole.
  const wchar_t* line = GetCommandLineW();
  if (line == nullptr) return std::vector<std::string>(argv, argv + argc);
  const std::vector<std::wstring> wide = win32::SplitCommandLine(line);
  std::vector<std::string> words;
  words.reserve(wide.size());
  if (!wide.empty()) words.push_back(Narrow(wide[0]));
  for (std::size_t i = 1; i < wide.size(); ++i) {
    const std::wstring& word = wide[i];
    // "D:" alone means the current folder of drive D; "D:." keeps that
    // meaning once the folder scan has cut separators from "D:\".
    if (IsBareDrive(word) && !IsVerbatim(word)) {
      words.push_back(Narrow(word) + ".");
    } else {
      Expand(word, &words);
    }
  }
  return words;
}

}  // namespace corvane::os
