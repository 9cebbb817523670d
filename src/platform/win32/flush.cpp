// Flushing to disk on Windows: the data of a batch of new copies, each with
// FlushFileBuffers (flushing a whole volume needs administrator rights), and
// the folder of a replaced image, where the file system lets it be flushed.
#include "platform/os.h"
#include "platform/win32/win32.h"

namespace corvane::os {

using namespace win32;

std::vector<int> FlushCopies(const std::vector<Replacement*>& copies) {
  std::vector<int> errors;
  errors.reserve(copies.size());
  for (Replacement* copy : copies) {
    errors.push_back(copy->Output().Sync() ? 0 : static_cast<int>(GetLastError()));
  }
  return errors;
}

bool Target::SameFolderAs(const Target& other) const {
  const std::wstring mine = win32::FolderOf(FullPath(Wide(name_)));
  const std::wstring theirs = win32::FolderOf(FullPath(Wide(other.name_)));
  return CompareStringOrdinal(mine.c_str(), static_cast<int>(mine.size()), theirs.c_str(),
                              static_cast<int>(theirs.size()), TRUE) == CSTR_EQUAL;
}

int Target::FlushFolder(const File&) const {
  const std::wstring folder = win32::VerbatimForm(win32::FolderOf(FullPath(Wide(name_))));
  HANDLE handle = CreateFileW(folder.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : Outcome(FlushFileBuffers(handle));
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  // A file system that takes no flush of a folder (or a folder this user may
  // not open so) has only its own journal of the rename to rely on:
  // NTFS logs every rename, and MoveFileExW writes through.
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE:
      return 0;
    default:
      return static_cast<int>(error);
  }
}

}  // namespace corvane::os
