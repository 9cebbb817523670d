// What a new copy takes from the file it replaces, on Windows: ReplaceFileW
// carries the attributes, streams and security over, so only the creation
// time is set here, for the case where a plain move replaces the file.
#include "platform/os.h"
#include "platform/win32/win32.h"

namespace corvane::os {

using namespace win32;

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

}  // namespace corvane::os
