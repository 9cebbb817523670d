// Path arguments that name directories: the directory test, the FITS file-name
// filter, and the one-level scan that hands each FITS entry to Fixup.
#pragma once

#include <string>

namespace corvane {

// Non-zero when `path` names a directory. First cuts one trailing "/" or "\"
// from `path`, which the caller goes on using; reports a path it cannot query.
int isDirectory(std::string& path);

// 1 when `name` ends in ".fit" or ".fts" (any letter case) with at least one
// character before the extension, else 0.
int isFitsFilename(const std::string& name);

// Hands every readable entry of `dir` with a FITS name to Fixup, in listing order.
void ScanDirectory(const std::string& dir);

}  // namespace corvane
