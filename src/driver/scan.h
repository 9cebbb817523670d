// Path arguments that name directories: the directory test, the FITS file-name
// filter, and the one-level scan that hands each FITS entry to Fixup.
#pragma once

#include <string>
#include <vector>

#include "fits/fits.h"

namespace corvane {

// Cuts one trailing "/" or "\" from `path`, as a folder argument may end.
void CutTrailingSeparator(std::string& path);

// Non-zero when `path` names a directory. First cuts one trailing "/" or "\"
// from `path`, which the caller goes on using; reports a path it cannot query.
int isDirectory(std::string& path);

// 1 when `name` ends in ".fit" or ".fts" (any letter case) with at least one
// character before the extension, else 0.
int isFitsFilename(const std::string& name);

// How many files of a run ended each way, which failed (in run order), and
// whether any was handled before -check (a run may repair some files and
// only check later ones).
struct Tally {
  int repaired = 0;
  int would_repair = 0;
  int skipped = 0;
  int failed = 0;
  std::vector<std::string> failed_paths;
  bool some_written = false;
  void Count(Outcome outcome, const std::string& path);
  int Files() const { return repaired + would_repair + skipped + failed; }
};

// Hands every entry of `dir` with a FITS name to Fixup, in name order,
// counting what became of each in `tally` (one that cannot be read fails). A folder with no such entry
// says so. Returns false when the folder could not be listed.
bool ScanDirectory(const std::string& dir, Tally& tally);

}  // namespace corvane
