// The few things Corvane needs from the operating system: descriptors with
// whole-record reads and writes, file status, access checks, directory listing,
// memory for a data area, and the replace-by-rename of a rewritten file. Only
// this layer calls the OS; os_posix.cpp and os_win32.cpp implement it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::os {

// An open file descriptor, closed when the handle goes away. Move-only.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
  void Close();  // closing can report nothing useful here, so its result is ignored

  // Reads until `count` bytes arrived, the file ended or a read failed; returns
  // the bytes read.
  std::int64_t ReadFull(void* buffer, std::int64_t count);
  // Writes until `count` bytes are written or a write fails; returns the bytes written.
  std::int64_t WriteFull(const void* buffer, std::int64_t count);
  bool Rewind();
  bool Sync();

 private:
  int fd_ = -1;
};

// Memory for one data area, released when the handle goes away. Move-only.
class Buffer {
 public:
  Buffer() = default;
  Buffer(Buffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { Release(); }

  // Makes room for `size` bytes (contents unspecified); false when memory is short.
  bool Allocate(std::uint64_t size);
  std::uint8_t* Data() const { return data_; }

 private:
  void Release();
  std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
};

enum class Access { kRead, kReadWrite };

// Opens an existing file in binary mode; the handle is closed when that fails.
File OpenExisting(const std::string& path, Access access);
// Opens `path` for writing, created with mode 0666 less the umask, emptied if it exists.
File CreateTruncated(const std::string& path);

struct FileStatus {
  std::int64_t size = 0;
  bool is_directory = false;
  bool is_regular = false;
};

// Status of the file `path` names (links followed); false when it cannot be queried.
bool QueryStatus(const std::string& path, FileStatus* status);
bool Exists(const std::string& path);
bool IsReadable(const std::string& path);

// The names of the entries of a directory, in the order the listing gives them.
bool ListDirectory(const std::string& path, std::vector<std::string>* names);

// A temporary file beside the file that a rewrite will replace. It is removed
// when this handle goes away, unless Commit has renamed it over the target; an
// interrupting signal removes it too (see InstallInterruptCleanup).
class Replacement {
 public:
  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();

  // Creates the temporary file in the directory that holds `target`, after
  // following symbolic links, so a link stays a link and its target is replaced.
  // The name starts with a dot and ends in six random letters or digits, so no
  // file-name filter for FITS extensions ever takes it for an image.
  bool Create(const std::string& target);
  File& Output() { return file_; }
  // Gives the temporary file the mode bits, and where permitted the owner and
  // group, of `original`.
  bool CopyAttributesFrom(const File& original);
  // Flushes the temporary file to disk and renames it over the target; the
  // directory is flushed once the run moves on to another directory or ends
  // (FlushDirectories). On failure `error` says why and the target is untouched.
  bool Commit(std::string* error);

 private:
  std::string target_;
  std::string temp_path_;
  std::wstring wide_temp_path_;  // Windows: the same name, for the interrupt handler
  File file_;
  bool committed_ = false;
};

// Flushes to disk the directory whose entries replacements changed last.
void FlushDirectories();

// Sets the process up for a run: an interrupting signal (SIGINT, SIGTERM and,
// where it exists, SIGHUP) removes a pending temporary file before the process
// ends the way that signal ends it; standard streams carry bytes unchanged.
void PrepareProcess();

// The command-line arguments as UTF-8 text, program name first, with file-name
// wildcards expanded where no shell does it.
std::vector<std::string> CommandLine(int argc, char** argv);

}  // namespace corvane::os
