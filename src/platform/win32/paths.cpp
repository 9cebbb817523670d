// Names and status on Windows: the forms of a path the system takes (a bare
// drive, "\\?\" for long paths), handles opened so a file can be renamed
// over while open, the status of what a path names, whether it exists or can
// be read, whether two paths or standard output name one file, and listings.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cwctype>

#include "platform/os.h"
#include "platform/win32/win32.h"

namespace corvane::os {
namespace win32 {

// Full paths from this length on get the "\\?\" form: the usual limit is 260
// characters for a file and 248 for a folder.
constexpr std::size_t kLongPath = MAX_PATH - 12;

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

std::string LongName(const std::string& path) {
  std::wstring full = Wide(path);
  if (IsVerbatim(full)) {
    std::replace(full.begin() + 4, full.end(), L'/', L'\\');
  } else {
    full = FullPath(full);
    if (full.size() >= kLongPath) full = win32::VerbatimForm(full);
  }
  const DWORD size = full.empty() ? 0 : GetLongPathNameW(full.c_str(), nullptr, 0);
  if (size == 0) return path;
  std::wstring long_name(size, L'\0');
  const DWORD length = GetLongPathNameW(full.c_str(), long_name.data(), size);
  if (length == 0 || length >= size) return path;
  long_name.resize(length);
  return Narrow(long_name);
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

}  // namespace win32

using namespace win32;

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
  // Folders too: they open only with backup semantics.
  constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS;
  File one(OpenShared(SystemPath(first), 0, OPEN_EXISTING, kFlags, _O_RDONLY));
  File two(OpenShared(SystemPath(second), 0, OPEN_EXISTING, kFlags, _O_RDONLY));
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  return one.IsOpen() && two.IsOpen() && GetFileInformationByHandle(HandleOf(one), &a) != 0 &&
         GetFileInformationByHandle(HandleOf(two), &b) != 0 && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         IndexOf(a) == IndexOf(b);
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

int StatusError(const std::string& path) {
  FileStatus status;
  SetLastError(ERROR_SUCCESS);
  if (QueryStatus(path, &status)) return 0;
  const DWORD error = GetLastError();
  return static_cast<int>(error != ERROR_SUCCESS ? error : ERROR_INVALID_NAME);  // an empty path or a bare root
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

}  // namespace corvane::os
