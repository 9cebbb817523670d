// Directory arguments: a one-level listing filtered by name length, read
// permission and FITS extension. The listing is read whole and closed before any
// entry is repaired, because a repair renames a new file into the directory and
// an open listing could then show that entry a second time.
#include "driver/scan.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <vector>

#include "fits/fits.h"
#include "platform/os.h"
#include "report.h"

namespace corvane {
namespace {

// Names shorter than this are never images; this also drops "." and "..".
constexpr std::size_t kShortestEntryName = 5;
// Only this much of a name is looked at by the extension test.
constexpr std::size_t kNameBufferLength = 1023;

}  // namespace

int isDirectory(std::string& path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  os::FileStatus status;
  if (!os::QueryStatus(path, &status)) {
    Report("Cannot stat '%s'\n", path.c_str());
    return 0;
  }
  return status.is_directory ? 1 : 0;
}

int isFitsFilename(const std::string& name) {
  std::string lower = name.substr(0, kNameBufferLength);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  const std::size_t length = lower.size();
  if (length <= 4) return 0;
  const std::string extension = lower.substr(length - 4);
  return extension == ".fit" || extension == ".fts" ? 1 : 0;
}

void ScanDirectory(const std::string& dir) {
  std::vector<std::string> names;
  try {
    if (!os::ListDirectory(dir, &names)) {
      Report("Error opening directory %s\n", dir.c_str());
      return;
    }
  } catch (const std::bad_alloc&) {
    Report("Error: out of memory listing directory %s; its files were not repaired\n", dir.c_str());
    return;
  }
  for (const std::string& name : names) {
    if (name.size() < kShortestEntryName) continue;
    std::string path = dir;
    path.append(os::kSeparator).append(name);
    const os::Readable readable = os::IsReadable(path);
    if (readable == os::Readable::kNameTooLong && isFitsFilename(name)) {
      Report("Error: the path of '%s' in directory %s is too long; skipped\n", name.c_str(), dir.c_str());
    }
    if (readable != os::Readable::kYes) continue;
    if (!isFitsFilename(name)) continue;
    Fixup(path);
  }
}

}  // namespace corvane
