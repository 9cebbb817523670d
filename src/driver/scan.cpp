// Directory arguments: a one-level listing in name order, filtered by name
// length and FITS extension. The listing is read whole and closed before any
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
#include "settings.h"

namespace corvane {
namespace {

// Names shorter than this are never images; this also drops "." and "..".
constexpr std::size_t kShortestEntryName = 5;
// Only this much of a name is looked at by the extension test.
constexpr std::size_t kNameBufferLength = 1023;

// A name ending in ".fits": a FITS file a folder scan leaves alone.
bool IsFitsLongName(const std::string& name) {
  return name.back() == 's' || name.back() == 'S' ? isFitsFilename(name.substr(0, name.size() - 1)) != 0 : false;
}

}  // namespace

void CutTrailingSeparator(std::string& path) {
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
}

int isDirectory(std::string& path) {
  CutTrailingSeparator(path);
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

void Tally::Count(Outcome outcome, const std::string& path) {
  some_written = some_written || check_only == 0;
  switch (outcome) {
    case Outcome::kRepaired:
      ++repaired;
      break;
    case Outcome::kWouldRepair:
      ++would_repair;
      break;
    case Outcome::kSkipped:
      ++skipped;
      break;
    case Outcome::kFailed:
      ++failed;
      failed_paths.push_back(path);
      break;
    case Outcome::kQueued:
      break;  // counted once FinishCommits tells what became of it
  }
}

bool ScanDirectory(const std::string& dir, Tally& tally) {
  std::vector<std::string> names;
  try {
    if (const int error = os::ListDirectory(dir, &names); error != 0) {
      Report("Error opening directory %s: %s\n", dir.c_str(), os::ErrorText(error).c_str());
      return false;
    }
  } catch (const std::bad_alloc&) {
    Report("Error: out of memory listing directory %s; its files were not repaired\n", dir.c_str());
    return false;
  }
  // Name order (byte order), as Windows lists its folders: the same report
  // on every run and every machine, whatever order the directory keeps.
  std::sort(names.begin(), names.end());
  int images = 0;       // FITS names met, whatever became of them
  int passed_over = 0;  // .fits files, repaired only when named
  for (const std::string& name : names) {
    if (name.size() < kShortestEntryName) continue;
    std::string path = dir;
    path.append(os::kSeparator).append(name);
    if (!isFitsFilename(name)) {
      if (IsFitsLongName(name)) ++passed_over;
      continue;
    }
    ++images;
    // An image that cannot be read is no image to pass over in silence: the
    // repair reports why it cannot open it, and the run counts it as failed.
    if (os::IsReadable(path) == os::Readable::kNameTooLong) {
      Report("Error: the path of '%s' in directory %s is too long; skipped\n", name.c_str(), dir.c_str());
      tally.Count(Outcome::kFailed, path);
      continue;
    }
    tally.Count(Fixup(path), path);
  }
  if (images == 0 && passed_over == 0) Report("No .fit or .fts file in directory %s\n", dir.c_str());
  if (images == 0 && passed_over > 0) {
    Report("No .fit or .fts file in directory %s; passed over %d .fits file(s), which are repaired only when "
           "named\n", dir.c_str(), passed_over);
  }
  return true;
}

}  // namespace corvane
