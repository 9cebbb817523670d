// The few things Corvane needs from the operating system: descriptors with
// whole-record reads and writes, file status, access checks, directory listing,
// memory for a data area, and the replace-by-rename of a rewritten file. Only
// this layer calls the OS; posix/ and win32/ implement it, one file per job
// under the same name on both sides.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::os {

// What joins a folder and a name in the paths the run reports and opens.
#ifdef _WIN32
inline constexpr char kSeparator[] = "\\";
#else
inline constexpr char kSeparator[] = "/";
#endif

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
  // the bytes read. `error`, when given, gets the error number of a failed
  // read, or 0 when the file simply ended.
  std::int64_t ReadFull(void* buffer, std::int64_t count, int* error = nullptr);
  // As ReadFull, from `offset` on, leaving the file position where it was.
  std::int64_t ReadAt(void* buffer, std::int64_t count, std::int64_t offset, int* error = nullptr);
  // Writes until `count` bytes are written or a write fails; returns the bytes written.
  std::int64_t WriteFull(const void* buffer, std::int64_t count);
  bool Rewind();
  bool Sync();
  // Reserves `size` bytes for a new file about to be written from its start,
  // so the filesystem allocates it in one go rather than page by page. Returns
  // 0, or the system's error number when the disk has no room; where the file
  // or the filesystem takes no reservation it does nothing.
  int Reserve(std::int64_t size);

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

// Opens `path` for writing as it is, neither created nor emptied: a FIFO, a
// terminal or a device. Returns 0 or the system's error number.
int OpenDirect(const std::string& path, File* file);
// Whether `path` names the file, pipe, socket or terminal standard output already goes to.
bool IsStandardOutput(const std::string& path);
// A descriptor for standard output itself, sharing its position and its
// append mode. Returns 0 or the system's error number.
int OpenStandardOutput(File* file);
// Whether two paths name the same existing file (links followed).
bool SameFile(const std::string& first, const std::string& second);

struct FileStatus {
  std::int64_t size = 0;
  bool is_directory = false;
  bool is_regular = false;
};

// Status of the file `path` names (links followed); false when it cannot be queried.
bool QueryStatus(const std::string& path, FileStatus* status);
// Why the status of `path` cannot be queried: the system's error number, or
// 0 when it can be.
int StatusError(const std::string& path);
// The folder a file of `path` would be in ("." for a bare name).
std::string FolderOf(const std::string& path);
bool Exists(const std::string& path);

enum class Readable { kYes, kNo, kNameTooLong };
// Whether `path` can be read; kNameTooLong when the path is longer than the system takes.
Readable IsReadable(const std::string& path);

// The names of the entries of a directory, in the order the listing gives
// them. Returns 0, or the system's error number when it cannot be listed.
int ListDirectory(const std::string& path, std::vector<std::string>* names);

// A file being repaired: where it lives and the file itself, opened once.
// Symbolic links are resolved when it is opened, and from then on everything
// (the lock, the checks, the replacement) works on the folder that was opened
// and the name in it, so a link swapped during the run redirects nothing.
class Target {
 public:
  // Opens the file `path` names, a FIFO or a device without blocking. Returns
  // 0, or the system's error number when it cannot be opened.
  // With kReadWrite the file must be writable, but it is opened for reading
  // only (so a read lease can be had); OpenForWriting opens it for writing.
  int Open(const std::string& path, Access access);
  // Resolves `path` as Open does, for an output that need not exist yet: a
  // regular file is opened for reading, anything else is left closed and
  // Exists says whether the name is taken. Returns 0 or an error number.
  int OpenOutput(const std::string& path);
  bool Exists() const { return exists_; }
  // Locks the file against other runs (shared for reading, exclusive for a
  // rewrite; on Windows exclusive either way, for as long as this handle
  // lives), waiting for them when `wait`; without it, returns EWOULDBLOCK
  // when another run holds the file. When another run replaced the file
  // meanwhile, whatever now has the name is opened in its place (check its
  // status again). Returns 0 or the system's error number.
  int Lock(Access access, bool wait);
  File& Input() { return file_; }
  const FileStatus& Status() const { return status_; }
  // Whether `path` names this very file (the same file under any name).
  bool IsSameFileAs(const std::string& path) const;
  // What tells the open file from every other: its device (volume) and number.
  std::pair<std::uint64_t, std::uint64_t> Identity() const { return {device_, inode_}; }
  // Whether the open file still has the size and modification time it had when
  // it was opened and locked, and on POSIX its status-change time: a new mode,
  // owner or ACL given to it meanwhile would be undone by the new copy.
  bool Unchanged() const;
  // Whether the name still refers to the open file.
  bool StillNamed() const;
  // Whether the open file is now `size` bytes long.
  bool HasSize(std::int64_t size) const;
  // Reserves room for `size` bytes, so a rewrite through the file finds a full
  // disk, a quota or the file-size limit before it changes a byte (where the
  // filesystem copies on write, the room is measured there, not held).
  // Returns 0 or the system's error number.
  int Reserve(std::int64_t size);
  // Gives the file back the size it had when it was opened, which a
  // reservation may have grown (where the filesystem reserves only by
  // growing the file). False when it cannot.
  bool RestoreSize();
  // Opens the file once more, for writing through it (Writable), checking that
  // the name still refers to the file opened first. Returns 0 or an error number.
  int OpenForWriting();
  File& Writable() { return writer_.IsOpen() ? writer_ : file_; }
  // Takes a read lease on the file, held until the replacement is renamed over
  // it or this handle goes away: no other program may have it open for
  // writing, and one that opens it for writing later breaks the lease, which
  // is then given up at once. Returns 0 (held), kBusy (another program has
  // it open for writing), or kNoLease (none can be had: not the owner, a
  // network filesystem, a system without leases).
  static constexpr int kBusy = -1;
  static constexpr int kNoLease = -2;
  int TakeLease();
  // Whether a lease taken was broken (another program opened the file for writing).
  bool LeaseBroken() const;
  void DropLease();
  // The name of a ".corvane-" file in the folder that holds the file, left by
  // an interrupted run (or one going on now); empty when there is none, and
  // for every folder after the first time it is asked about in a run.
  std::string LeftoverCopy() const;
  // Whether `other` lives in the same folder as this file.
  bool SameFolderAs(const Target& other) const;
  // Flushes the folder that holds the file, so that the names changed in it
  // are on disk; where the folder cannot be opened for that, the whole
  // filesystem of `beside` (a new copy put in it). Returns 0 or the system's
  // error number.
  int FlushFolder(const File& beside) const;

 private:
  friend class Replacement;
  int Stat();
  File directory_;   // the folder that holds the file (POSIX)
  std::string name_;  // the file's name in it (Windows: its whole path, in long names)
  File file_;
  std::shared_ptr<void> held_;  // Windows: the lock that keeps other runs off the file
  File writer_;       // the file opened for writing, for a write through it
  bool exists_ = false;
  bool output_ = false;  // opened by OpenOutput: replaced whatever has its name
  bool leased_ = false;
  FileStatus status_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  std::int64_t modified_ns_ = 0;
  std::int64_t changed_ns_ = 0;  // POSIX: its status-change time
};

// A temporary file beside a target that a rewrite will replace. It is removed
// when this handle goes away, unless it was put in the target's place; an
// interrupting signal removes it too (see PrepareProcess), whichever thread
// holds it. Move-only.
class Replacement {
 public:
  Replacement() = default;
  Replacement(Replacement&& other) noexcept;
  Replacement& operator=(Replacement&&) = delete;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();

  // Creates the temporary file in the folder that holds `target`. Its name
  // starts with a dot and ends in six random letters or digits, so no file-name
  // filter for FITS extensions ever takes it for an image. Returns 0 or the
  // system's error number.
  int Create(const Target& target);
  File& Output() { return file_; }
  enum class Attributes { kCopied, kOtherOwner, kFailed };
  // Gives the temporary file the owner and group (where permitted), the
  // extended attributes (ACLs among them) and then the mode bits of `original`.
  // Where the filesystem stores no permissions it goes on, unless the new copy
  // would give more access than the original; `note` then says what mode the
  // copy has instead. kOtherOwner when the copy cannot be given to the
  // original's owner; on failure `error` says why.
  Attributes CopyAttributesFrom(const File& original, std::string* error, std::string* note);
  // For an output file, what cp gives it: a new one gets the mode of `input`
  // less the umask; one that replaces the open file `replaced` keeps its
  // owner, group, mode, ACL and other extended attributes. kOtherOwner when
  // the replaced file's owner cannot keep it; on failure `error` says why.
  Attributes TakeModeOf(const File& input, const File& replaced, std::string* error);
  // Puts the temporary file, already flushed to disk (FlushCopies), under the
  // name of `target` when the file the data was read from (`read`, or
  // `target` itself) is unchanged, its lease (if any) was not broken and the
  // name of `target` still refers to it: exchanged with it where the
  // filesystem can, and exchanged back when what came out is not the file
  // that was read. An output target (OpenOutput) is replaced whatever has its
  // name. The folder is not flushed (Target::FlushFolder). On failure `error`
  // says why and the target is untouched.
  bool PutInPlace(Target& target, std::string* error, const Target* read = nullptr);
  // One copy alone: flushed, put in place, and its folder flushed. After a
  // failed flush of the folder the name holds the result (NameChanged).
  bool Commit(Target& target, std::string* error, const Target* read = nullptr);
  // After a failed commit: whether the target's name no longer holds the
  // original (`error` then says what it holds and where the rest went).
  bool NameChanged() const { return committed_; }
  // Takes the interrupt note of the file the run is at (os::KeepInterruptNote),
  // switched when this copy is put in place; its number, for WriteHeldReport.
  void KeepInterruptNote();
  int InterruptNote() const { return note_; }
  // Gives the temporary file up before the target is written some other way:
  // its name is removed for good (a power cut cannot bring it back) and its
  // room is freed.
  void Discard();

 private:
  int directory_ = -1;  // borrowed from the target (POSIX)
  bool unnamed_ = false;  // an O_TMPFILE file, named only when put in place (POSIX)
  int pending_slot_ = -1;  // where an interrupting signal finds its name (POSIX)
  int note_ = -1;          // its interrupt note; -1: the one of the file the run is at
  std::string temp_name_;
  std::wstring wide_temp_path_;  // Windows: the whole name, for the interrupt handler
  std::wstring target_path_;     // Windows: the full path of the file replaced
  [[maybe_unused]] bool marked_ = false;  // Windows: the system removes the file when it is closed
  File file_;
  bool committed_ = false;
};

// Flushes the data of several new copies to disk, the way that costs fewest
// flushes of the device: one flush of each filesystem where the system says
// whether any write-back since the first copy was made failed, else one per
// copy. Returns 0 or the system's error number for each copy, in order.
std::vector<int> FlushCopies(const std::vector<Replacement*>& copies);

// Holds the interrupting signals while it lives: a rewrite through the file
// itself is finished before the run ends. A thread started meanwhile never
// takes them, so they always reach the thread that started it.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// The system's text for an error number of this layer.
std::string ErrorText(int error);
// The system's text for the error of the latest failed call of this thread.
std::string LastErrorText();
// Whether the latest failed write or reservation of this thread found the
// disk or a quota full.
bool LastErrorMeansFull();
// Whether an error number of this layer means access was refused (a folder
// without write permission, say).
bool IsAccessDenied(int error);
// Whether an error number means the process has as many files open as it
// may, or the disk or a quota has no room (or no free inode) for a new file.
bool IsOutOfDescriptors(int error);
bool MeansFull(int error);
// How many files the process may have open at once.
int MostOpenFiles();
// Whether an error number of opening a file for writing means it may be
// read but not written: its permissions, a read-only attribute or disk.
bool MeansReadOnly(int error);

// Writes report text (UTF-8) to standard error, from any thread, in one go,
// in the form the place it goes to shows right: on a Windows console as
// UTF-16 whatever its code page, in a file on Windows as UTF-8 with CRLF line
// ends and a byte-order mark at its start; anywhere else as it is. Standard
// error closed at its reading end ends the run as SIGPIPE does.
void WriteReport(std::string_view text);

// Sets the process up for a run: the standard streams are open (on the null
// device when they were closed, so no file opened later takes their place) and
// carry bytes unchanged; an interrupting signal (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE, SIGXFSZ where they exist) removes a pending temporary file
// before the process ends the way that signal ends it. A signal that was
// ignored when the run started (nohup, a background job) stays ignored.
void PrepareProcess();

// The line an interrupting signal writes to standard error before the run
// ends (which file it leaves as it was); empty for none. `after_commit`
// takes its place the moment a Replacement is put under the target's name,
// since a signal held during the rename comes only after it. Both are copied
// into memory the handler may read, so a line is set as a whole, never half.
// With several files under way (copies waiting to be put in place), a line
// for each, in the order they were started; the line of `between_files` (the
// run is at no file) only when there is none.
void SetInterruptNote(const std::string& line, const std::string& after_commit = std::string(),
                      bool between_files = false);
// The note of the file the run is at goes with its copy, handed over to be
// put in place (Replacement::KeepInterruptNote): the run is then at no file
// until the next SetInterruptNote. Returns the note's number.
int KeepInterruptNote();
// Writes report lines held back (the last ones of the file whose note is
// `note`, or -1 for none) and forgets that note, as one step that no
// interrupting signal comes into: the file is named by its lines or by its
// note, never both, and no held line follows the notes of a signal.
void WriteHeldReport(std::string_view text, int note);

// The command-line arguments as UTF-8 text, program name first, with file-name
// wildcards expanded where no shell does it.
std::vector<std::string> CommandLine(int argc, char** argv);

// Whether the run shows its report in a console window of its own, which
// stays open until Enter is pressed (started from Explorer); never on POSIX.
bool InWindowOfItsOwn();
// In such a window, shows `prompt` and waits for Enter; elsewhere does nothing.
void WaitForEnter(const char* prompt);

}  // namespace corvane::os
