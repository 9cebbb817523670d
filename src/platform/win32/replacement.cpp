// The new copy that replaces a file on Windows: created hidden beside it and
// marked for removal so that no ending of the run leaves it behind, flushed,
// checked against what was read, and put in the file's place by a rename
// through its own handle, the mark taken off only for that call (with
// ReplaceFileW instead when the file has alternate data streams to keep).
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/win32/win32.h"
#include "report.h"

namespace corvane::os {

using namespace win32;

namespace {

// Has the system remove an open file when its last handle is closed, however
// the process ends (`remove`), or takes that mark off again.
bool MarkForRemoval(const File& file, bool remove) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = remove ? TRUE : FALSE;
  return SetFileInformationByHandle(HandleOf(file), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Whether the file has alternate data streams (the mark of a download, say),
// which ReplaceFileW carries over to the new file and a rename does not.
bool HasNamedStreams(const std::wstring& path) {
  WIN32_FIND_STREAM_DATA stream;
  HANDLE listing = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &stream, 0);
  if (listing == INVALID_HANDLE_VALUE) return false;
  bool named = false;
  do {
    named = std::wstring_view(stream.cStreamName) != L"::$DATA";
  } while (!named && FindNextStreamW(listing, &stream));
  FindClose(listing);
  return named;
}

// Gives the open file `file` the name `path`, replacing what has it, in one call.
DWORD RenameTo(const File& file, const std::wstring& path) {
  const std::size_t bytes = path.size() * sizeof(wchar_t);
  // Whole structures, so the name that follows the fixed part is aligned.
  std::vector<FILE_RENAME_INFO> info(2 + bytes / sizeof(FILE_RENAME_INFO));
  info[0].ReplaceIfExists = TRUE;
  info[0].RootDirectory = nullptr;
  info[0].FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info[0].FileName, path.data(), bytes);
  return Outcome(SetFileInformationByHandle(HandleOf(file), FileRenameInfo, info.data(),
                                            static_cast<DWORD>(info.size() * sizeof(FILE_RENAME_INFO))));
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

// The path of the file `verbatim_path` names, with its name as the folder
// stores it: Windows finds "M42.FIT" as "m42.fit", and a replacement under
// the name as typed would change its letters.
std::wstring WithStoredName(const std::wstring& verbatim_path) {
  WIN32_FIND_DATAW entry;
  HANDLE found = FindFirstFileW(verbatim_path.c_str(), &entry);
  if (found == INVALID_HANDLE_VALUE) return verbatim_path;  // a new file is named as given
  FindClose(found);
  return verbatim_path.substr(0, verbatim_path.find_last_of(L'\\') + 1) + entry.cFileName;
}

// Puts the new file `file` under the name `target` through its own handle.
// Its mark for removal comes off right before that one call and goes back
// on when the call fails, so however the run ends (taskkill /f included) no
// repaired copy is left behind.
DWORD RenameOver(File& file, bool& marked, const std::wstring& temp, const std::wstring& target, int note) {
  return win32::Guarded(
      [&] {
        DWORD result = marked ? Outcome(MarkForRemoval(file, false)) : DWORD{ERROR_SUCCESS};
        if (result == ERROR_SUCCESS) result = RenameTo(file, target);
        if (result != ERROR_SUCCESS && marked) marked = MarkForRemoval(file, true);
        if (result == ERROR_SUCCESS) win32::CommitInterruptNote(note);
        return result;
      },
      temp, false);
}

// Replaces `target` by the new file `temp` with ReplaceFileW, which needs it
// closed, so unmarked: until it has replaced the image, a console event
// removes it by name, and the destructor removes one that failed.
DWORD ReplaceByName(File& file, bool marked, const std::wstring& temp, const std::wstring& target, int note) {
  if (file.IsOpen()) {
    const DWORD kept = win32::Guarded(
        [&] { return marked ? Outcome(MarkForRemoval(file, false)) : DWORD{ERROR_SUCCESS}; }, temp, true);
    if (kept != ERROR_SUCCESS) return kept;
    file.Close();
  }
  return win32::Guarded(
      [&] {
        const DWORD replaced = ReplaceWith(temp, target);
        if (replaced == ERROR_SUCCESS) win32::CommitInterruptNote(note);
        return replaced;
      },
      temp, false);
}

}  // namespace

Replacement::Replacement(Replacement&& other) noexcept
    : note_(std::exchange(other.note_, -1)),
      temp_name_(std::exchange(other.temp_name_, std::string())),
      wide_temp_path_(std::exchange(other.wide_temp_path_, std::wstring())),
      target_path_(std::move(other.target_path_)),
      marked_(other.marked_),
      file_(std::move(other.file_)),
      committed_(other.committed_) {}

Replacement::~Replacement() { Discard(); }

void Replacement::Discard() {
  file_.Close();  // a file marked for removal goes with its last handle
  if (temp_name_.empty() || committed_) return;
  const DWORD result = win32::RetryWhileBusy(
      [this] {
        return win32::Guarded(
            [this] {
              const DWORD error = Outcome(DeleteFileW(wide_temp_path_.c_str()));
              return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
            },
            wide_temp_path_, false);
      },
      win32::kRetryAttempts, win32::kRetryPauseMs);
  if (result != ERROR_SUCCESS) {
    Report("Error: cannot remove the temporary file '%s': %s\n", temp_name_.c_str(), ErrorText(result).c_str());
  }
  temp_name_.clear();
}

int Replacement::Create(const Target& target) {
  // The folder comes from the full path, so "\foo.fit", "D:foo.fit", UNC and
  // "\\?\" paths all get their temporary file beside the image.
  std::wstring wide = Wide(target.name_);
  if (IsVerbatim(wide)) std::replace(wide.begin() + 4, wide.end(), L'/', L'\\');
  const std::wstring full = IsVerbatim(wide) ? wide : FullPath(wide);
  const std::wstring folder = win32::FolderOf(full);
  if (folder.empty() || folder.size() == full.size()) return ERROR_BAD_PATHNAME;
  target_path_ = WithStoredName(win32::VerbatimForm(full));
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
    const DWORD error = win32::Guarded(
        [&] {
          created = File(OpenShared(temp, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, CREATE_NEW,
                                    FILE_ATTRIBUTE_HIDDEN, _O_RDWR));
          if (!created.IsOpen()) return Outcome(FALSE);
          marked_ = MarkForRemoval(created, true);
          return DWORD{ERROR_SUCCESS};
        },
        temp, true);
    // A copy the system removes by itself needs no removal by name.
    if (error == ERROR_SUCCESS && marked_) (void)win32::Guarded([] { return DWORD{ERROR_SUCCESS}; }, temp, false);
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

bool Replacement::PutInPlace(Target& original, std::string* error, const Target* read) {
  if (!(read != nullptr ? *read : original).Unchanged()) {
    *error = "it changed while it was being repaired";
    return false;
  }
  if (!original.output_ && !original.StillNamed()) {
    *error = "its name no longer refers to the file that was read";
    return false;
  }
  original.Input().Close();  // replacing a file needs it closed by this program too
  const std::wstring& target = target_path_;
  const DWORD before = GetFileAttributesW(target.c_str());
  const bool streams = HasNamedStreams(target);
  // A viewer, an indexer or a virus scanner may hold the file for a moment.
  bool told = false;
  const DWORD result = win32::RetryWhileBusy(
      [&] {
        const DWORD attempt = streams ? ReplaceByName(file_, marked_, wide_temp_path_, target, note_)
                                      : RenameOver(file_, marked_, wide_temp_path_, target, note_);
        if (win32::IsBusy(attempt) && !told) {
          Report("\tWaiting for another program to finish with this file...\n");
          told = true;
        }
        return attempt;
      },
      win32::kRetryAttempts, win32::kRetryPauseMs);
  if (result != ERROR_SUCCESS) {
    *error = "cannot replace the file: " + ErrorText(result);
    if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
      // The original is gone but the new file did not move in: it is all there is.
      *error = "is gone, " + *error + "; its repaired content is in '" + temp_name_ + "'";
      (void)win32::Guarded(
          [this] { return marked_ && file_.IsOpen() ? Outcome(MarkForRemoval(file_, false)) : DWORD{ERROR_SUCCESS}; },
          wide_temp_path_, false);
      committed_ = true;
    }
    return false;
  }
  committed_ = true;
  file_.Close();  // the image itself now
  KeepAttributes(target, before);
  return true;
}

void Replacement::KeepInterruptNote() { note_ = os::KeepInterruptNote(); }

bool Replacement::Commit(Target& original, std::string* error, const Target* read) {
  if (!file_.Sync()) {
    *error = "cannot flush the new copy to disk: " + ErrorText(GetLastError());
    return false;
  }
  return PutInPlace(original, error, read);  // no folder to flush: see Target::FlushFolder
}

}  // namespace corvane::os
