// The second phase of Fixup: a first pass over the data area, a chunk at a
// time, that refuses files holding FITS extensions and finds the running
// maximum a stretch needs; then the parameter line. The writer's pass applies
// the transform, and where its result goes to a new copy it makes the checks
// itself as it goes, so the first pass looks at the first chunk only.
// byteswap and bzero, the engine's byte helpers, live here too.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <utility>

#include "settings.h"
#include "fits/fits.h"
#include "fits/pixel_math.h"
#include "report.h"

namespace corvane {
namespace {

constexpr char kExtensionPrefix[] = "XTENSION=";

// Extension headers start on a block boundary; repairing them as pixels would
// garble them, so such files are left alone.
bool HoldsExtension(const std::uint8_t* data, std::int64_t size) {
  constexpr std::int64_t kPrefixLength = sizeof kExtensionPrefix - 1;
  for (std::int64_t at = 0; size - at >= kPrefixLength; at += kBlockSize) {
    if (std::memcmp(data + at, kExtensionPrefix, kPrefixLength) == 0) return true;
  }
  return false;
}

}  // namespace

void byteswap(std::uint8_t* data, std::int64_t length, std::int32_t bpp) {
  if (bpp != 16 && bpp != 32) return;
  const std::int64_t width = bpp / 8;
  for (std::int64_t at = 0; at + width <= length; at += width) {
    std::swap(data[at], data[at + width - 1]);
    if (width == 4) std::swap(data[at + 1], data[at + 2]);
  }
}

bool ReadChunk(PerFile& f, std::int64_t at, std::int64_t length, std::string* cause) {
  int error = 0;
  if (f.target.Input().ReadAt(f.data.Data(), length, kBlockSize + at, &error) == length) return true;
  *cause = error != 0 ? os::ErrorText(error) : "it is shorter than when it was opened";
  return false;
}

std::int64_t PixelsIn(const PerFile& f, std::int64_t at, std::int64_t length) {
  return std::clamp(f.pixel_bytes - at, std::int64_t{0}, length);
}

void bzero(std::uint8_t* buffer, std::int64_t count) {
  if (count > 0) std::memset(buffer, 0, static_cast<std::size_t>(count));
}

// Whether the writer checks the data area while it writes a new copy: only a
// rewrite in place does, which can drop the copy; a stretch needs the whole
// first pass for its maximum, and -check writes nothing.
bool ChecksWhileWriting(const PerFile& f) {
  return !OUT_FNAME && !check_only && !f.pixels->NeedsMaximum();
}

bool RefusedChunk(PerFile& f, std::int64_t length) {
  if (!HoldsExtension(f.data.Data(), length)) return false;  // chunks start on block boundaries
  Report("Error: '%s' has FITS extensions; only single-image files are repaired\n", f.path.c_str());
  return true;
}

bool GrewMeanwhile(PerFile& f) {
  // Bytes past the size the file had when it was opened: something is still
  // writing it (a live-stacking program, say), and a rewrite would drop them.
  std::uint8_t probe = 0;
  if (f.target.Input().ReadAt(&probe, 1, kBlockSize + f.data_size) == 0) return false;
  Report("Error: '%s' left unchanged, it changed while it was being repaired\n", f.path.c_str());
  return true;
}

Next ScanDataArea(PerFile& f, std::int64_t end) {
  const std::int64_t chunk = std::min(f.data_size, kChunkSize);
  bool extension = false;
  f.checked_sum = 0;  // a later full scan starts the sum again
  for (std::int64_t at = 0; at < end; at += chunk) {
    const std::int64_t length = std::min(chunk, f.data_size - at);
    if (std::string cause; !ReadChunk(f, at, length, &cause)) {
      Report("Short read on file '%s', wanted %" PRId64 " bytes\n", f.path.c_str(), f.data_size);
      Report("Error: '%s' left unchanged, its data could not be read: %s\n", f.path.c_str(), cause.c_str());
      return Next::kFailed;
    }
    f.checked_sum = DataSum(f.checked_sum, f.data.Data(), length);
    extension = extension || HoldsExtension(f.data.Data(), length);
    f.pixels->ScanMaximum(f.data.Data(), PixelsIn(f, at, length));
  }
  if (end >= f.data_size) {
    f.checked_ahead = true;
    if (GrewMeanwhile(f)) return Next::kFailed;
  }
  if (extension) {
    Report("Error: '%s' has FITS extensions; only single-image files are repaired\n", f.path.c_str());
    return Next::kFailed;
  }
  return Next::kContinue;
}

Next TransformPixels(PerFile& f) {
  // A header-only file has no pixels and needs no memory.
  const std::int64_t chunk = std::min(f.data_size, kChunkSize);
  if (!f.data.Allocate(static_cast<std::uint64_t>(chunk))) {
    Report("Out of memory allocating %" PRId64 " bytes for file %s\n", chunk, f.path.c_str());
    return Next::kFailed;
  }
  f.pixels.emplace(f.bpp, PixelPlan{f.add_value, SCALE_VALUE, do_stretch != 0});
  // Checking while writing, the first chunk is still looked at here, so a
  // file refused there is reported as it always was.
  const Next scanned = ScanDataArea(f, ChecksWhileWriting(f) ? chunk : f.data_size);
  if (scanned != Next::kContinue) return scanned;
  // Whatever the transform needs besides the chunk is had now, before a byte is written.
  f.pixels->Prepare();
  Report("\t[ADD %d, SCALE %-2.2lf, BZERO %d]\n", f.add_value, SCALE_VALUE, BzeroToWrite(f));
  return Next::kContinue;
}

}  // namespace corvane
