// Windows implementation of the platform layer. Paths are UTF-8 inside the
// program and wide strings at the API; files are C runtime descriptors in
// binary mode over handles opened with FILE_SHARE_DELETE, so an input that is
// still open can be replaced; the replacement is flushed with FlushFileBuffers
// and moved over the original with MoveFileExW.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "platform/os.h"
#include "platform/transfer.h"

// The C runtime's argument parser, which expands wildcards when asked to.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                              int* startup_info);

namespace corvane::os {
namespace {

// The temporary file an interrupting signal must remove; null when there is none.
const wchar_t* volatile g_pending_temp = nullptr;

void RemovePendingAndDie(int signal_number) {
  const wchar_t* pending = g_pending_temp;
  if (pending != nullptr) (void)DeleteFileW(pending);
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);
}


std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return std::string();
  std::string narrow(static_cast<std::size_t>(length - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

std::string ErrorText(DWORD code) { return "system error " + std::to_string(code); }

// The identity and state of an open file, to tell whether it is the same file and unchanged.
bool Identify(int fd, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), info) != 0;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// A descriptor over a handle opened so that the file can be renamed over while open.
int OpenShared(const std::string& path, DWORD access, DWORD disposition, int flags) {
  HANDLE handle = CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  return fd;
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
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
}

std::int64_t File::ReadFull(void* buffer, std::int64_t count) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return _read(fd_, bytes + at, static_cast<unsigned>(chunk));
  });
}

std::int64_t File::WriteFull(const void* buffer, std::int64_t count) {
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return TransferFull(count, [&](std::int64_t at, std::int64_t chunk) -> std::int64_t {
    return _write(fd_, bytes + at, static_cast<unsigned>(chunk));
  });
}

bool File::Rewind() { return _lseeki64(fd_, 0, SEEK_SET) == 0; }

bool File::Sync() { return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd_))) != 0; }

File CreateTruncated(const std::string& path) {
  return File(_wopen(Wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE));
}

bool QueryStatus(const std::string& path, FileStatus* status) {
  // The runtime's stat fails on a trailing separator where POSIX stat does
  // not; drop them, but keep a root such as "C:\" or "/" whole.
  std::string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\') &&
         !(trimmed.size() == 3 && trimmed[1] == ':')) {
    trimmed.pop_back();
  }
  struct _stat64 info {};
  if (_wstat64(Wide(trimmed).c_str(), &info) != 0) return false;
  status->size = static_cast<std::int64_t>(info.st_size);
  status->is_directory = (info.st_mode & _S_IFMT) == _S_IFDIR;
  status->is_regular = (info.st_mode & _S_IFMT) == _S_IFREG;
  return true;
}

bool Exists(const std::string& path) { return _waccess(Wide(path).c_str(), 0) == 0; }

Readable IsReadable(const std::string& path) {
  if (_waccess(Wide(path).c_str(), 4) == 0) return Readable::kYes;
  return errno == ENAMETOOLONG ? Readable::kNameTooLong : Readable::kNo;
}

std::string ErrorText(int error) { return ErrorText(static_cast<DWORD>(error)); }

bool IsAccessDenied(int error) { return error == ERROR_ACCESS_DENIED; }

int Target::Open(const std::string& path, Access access) {
  // Windows resolves no links here: the name given is the one replaced.
  name_ = path;
  if (!QueryStatus(path, &status_)) return static_cast<int>(GetLastError());
  if (!status_.is_regular && !status_.is_directory) return 0;  // never opened
  const DWORD rights = access == Access::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  file_ = File(OpenShared(path, rights, OPEN_EXISTING, access == Access::kRead ? _O_RDONLY : _O_RDWR));
  if (!file_.IsOpen()) return static_cast<int>(GetLastError());
  return Stat();
}

int Target::Stat() {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!Identify(file_.Descriptor(), &info)) return static_cast<int>(GetLastError());
  status_.size = static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  device_ = info.dwVolumeSerialNumber;
  inode_ = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  modified_ns_ = static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                           info.ftLastWriteTime.dwLowDateTime);
  return 0;
}

int Target::Lock(Access) { return 0; }  // the sharing modes of the open handles are all Windows offers here

bool Target::IsSameFileAs(const std::string& path) const {
  File other(OpenShared(path, 0, OPEN_EXISTING, _O_RDONLY));
  BY_HANDLE_FILE_INFORMATION info{};
  BY_HANDLE_FILE_INFORMATION mine{};
  return other.IsOpen() && Identify(other.Descriptor(), &info) && Identify(file_.Descriptor(), &mine) &&
         SameFile(info, mine);
}

bool Target::Unchanged() const {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!Identify(file_.Descriptor(), &info)) return false;
  const auto size = static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  const auto modified = static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                                  info.ftLastWriteTime.dwLowDateTime);
  return size == status_.size && modified == modified_ns_;
}

bool Target::StillNamed() const { return IsSameFileAs(name_); }

int Target::Reserve(std::int64_t size) {
  // Extending the file to its final size claims the space before a byte changes.
  if (size <= status_.size) return 0;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file_.Descriptor()));
  LARGE_INTEGER end{};
  end.QuadPart = size;
  if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
    return static_cast<int>(GetLastError());
  }
  return 0;
}

bool ListDirectory(const std::string& path, std::vector<std::string>* names) {
  WIN32_FIND_DATAW entry;
  HANDLE listing = FindFirstFileW(Wide(path + "\\*").c_str(), &entry);
  if (listing == INVALID_HANDLE_VALUE) return false;
  do {
    names->push_back(Narrow(entry.cFileName));
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  return true;
}

Replacement::~Replacement() {
  if (!temp_name_.empty() && !committed_) {
    g_pending_temp = nullptr;
    file_.Close();
    (void)DeleteFileW(wide_temp_path_.c_str());
  }
}

int Replacement::Create(const Target& target) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t seed = GetTickCount64() ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = DirectoryOf(target.name_) + "/.corvane-";
    for (int k = 0; k < 6; ++k) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      name += kLetters[(seed >> 33) % 62];
    }
    const int fd = OpenShared(name, GENERIC_READ | GENERIC_WRITE, CREATE_NEW, _O_RDWR);
    if (fd >= 0) {
      temp_name_ = name;
      wide_temp_path_ = Wide(name);
      file_ = File(fd);
      g_pending_temp = wide_temp_path_.c_str();
      return 0;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return static_cast<int>(GetLastError());
  }
  return ERROR_FILE_EXISTS;
}

bool Replacement::CopyAttributesFrom(const File&, std::string*) {
  // A new file takes its permissions from the folder, as the original did.
  return true;
}

bool Replacement::Commit(Target& target, std::string* error) {
  if (!file_.Sync()) {
    *error = "cannot flush to disk: " + ErrorText(GetLastError());
    return false;
  }
  file_.Close();
  if (!target.Unchanged()) {
    *error = "it changed while it was being repaired";
    return false;
  }
  if (!target.StillNamed()) {
    *error = "its name no longer refers to the file that was read";
    return false;
  }
  target.Input().Close();  // Windows replaces no file that is open
  if (!MoveFileExW(wide_temp_path_.c_str(), Wide(target.name_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = "cannot replace the file: " + ErrorText(GetLastError());
    return false;
  }
  committed_ = true;
  g_pending_temp = nullptr;
  return true;
}

InterruptsHeld::InterruptsHeld() = default;
InterruptsHeld::~InterruptsHeld() = default;

void FlushDirectories() {
  // MOVEFILE_WRITE_THROUGH has made each replacement durable already.
}

void PrepareProcess() {
  for (int signal_number : {SIGINT, SIGTERM, SIGBREAK}) {
    (void)std::signal(signal_number, RemovePendingAndDie);
  }
  // Reports are bytes, as on other systems: no line-end translation, UTF-8 names.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
}

std::vector<std::string> CommandLine(int argc, char** argv) {
  // No shell expands wildcards here, and argv holds names in the ANSI code
  // page; the wide arguments, with wildcards expanded, have every name whole.
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  int startup_info = 0;
  if (__wgetmainargs(&count, &wide, &environment, 1, &startup_info) != 0 || wide == nullptr) {
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> words;
  for (int i = 0; i < count; ++i) words.push_back(Narrow(wide[i]));
  return words;
}

}  // namespace corvane::os
