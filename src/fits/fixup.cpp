// Fixup: one file from start to end, as a sequence of its three phases (with
// -check, the writing is only announced). The per-file values own the open
// file and the data buffer, so every way out of a phase releases both, a lack
// of memory included.
#include "fits/fits.h"

#include <new>

#include "settings.h"
#include "report.h"

namespace corvane {
namespace {

// -check: a file that got this far is one a real run would now write; with
// the header and pixels already done, only the writing is left out.
Next ReportWouldRepair() {
  Report("\tWould be repaired (nothing written: -check)\n");
  return Next::kDone;
}

}  // namespace

Outcome Fixup(const std::string& path) {
  Report("%s\n", path.c_str());
  try {
    PerFile file(path);
    file.add_value = ADD_VALUE;
    file.pad_bytes = arg_padbytes;
    Next next = ReadHeaderBlock(file);
    if (next == Next::kContinue) next = TransformPixels(file);
    if (next == Next::kContinue) next = check_only ? ReportWouldRepair() : WriteResult(file);
    if (next == Next::kFailed) return Outcome::kFailed;
    if (next == Next::kQueued) return Outcome::kQueued;
    return next == Next::kSkipped ? Outcome::kSkipped : Outcome::kRepaired;
  } catch (const std::bad_alloc&) {
    // Whatever ran short of memory, this file's handles and any temporary
    // file are gone by now; the image is as it was and the run goes on.
    Report("Out of memory repairing '%s'; it was left unchanged\n", path.c_str());
    return Outcome::kFailed;
  }
}

std::int32_t BzeroToWrite(const PerFile& file) { return set_bzero ? BZERO_NEW : file.bzero_orig; }

}  // namespace corvane
