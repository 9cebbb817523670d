// Fixup: one file from start to end, as a sequence of its three phases (with
// -check, the writing is only announced). The per-file values own the open
// file and the data buffer, so every way out of a phase releases both.
#include "fits/fits.h"

#include "driver/settings.h"
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

int Fixup(const std::string& path) {
  Report("%s\n", path.c_str());
  PerFile file(path);
  file.add_value = ADD_VALUE;
  Next next = ReadHeaderBlock(file);
  if (next == Next::kContinue) next = TransformPixels(file);
  if (next == Next::kContinue) next = check_only ? ReportWouldRepair() : WriteResult(file);
  return next == Next::kFailed ? 0 : 1;
}

}  // namespace corvane
