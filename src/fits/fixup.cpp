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

void NoteInterruptBetweenFiles() {
  os::SetInterruptNote("Interrupted between two files: none was left half done\n", std::string(), true);
}

void NoteInterruptDuring(const std::string& path) {
  if (check_only) {
    os::SetInterruptNote("Interrupted while checking '" + path + "': nothing was written\n");
  } else if (OUT_FNAME) {
    os::SetInterruptNote("Interrupted while repairing '" + path + "': it and '" + *OUT_FNAME +
                             "' were left as they were\n",
                         "Interrupted just after the repair of '" + path + "' was put in '" + *OUT_FNAME + "'\n");
  } else {
    os::SetInterruptNote("Interrupted while repairing '" + path + "': it was left as it was\n",
                         "Interrupted just after '" + path + "' was repaired\n");
  }
}

Outcome Fixup(const std::string& path) {
  Report("%s\n", path.c_str());
  NoteInterruptDuring(path);
  // Whichever way it ends, the file is no longer under way.
  struct BetweenFiles {
    ~BetweenFiles() { NoteInterruptBetweenFiles(); }
  } between_files;
  try {
    PerFile file(path);
    file.add_value = ADD_VALUE;
    file.pad_bytes = arg_padbytes;
    Next next = ReadHeaderBlock(file);
    if (next == Next::kContinue) next = TransformPixels(file);
    if (next == Next::kContinue && check_only) next = ForeseeWrite(file);
    if (next == Next::kContinue) next = check_only ? ReportWouldRepair() : WriteResult(file);
    if (next == Next::kFailed) return Outcome::kFailed;
    if (next == Next::kQueued) return Outcome::kQueued;
    if (next == Next::kSkipped) return Outcome::kSkipped;
    return check_only ? Outcome::kWouldRepair : Outcome::kRepaired;
  } catch (const std::bad_alloc&) {
    // Whatever ran short of memory, this file's handles and any temporary
    // file are gone by now; the image is as it was and the run goes on.
    Report("Out of memory repairing '%s'; it was left unchanged\n", path.c_str());
    return Outcome::kFailed;
  }
}

std::int32_t BzeroToWrite(const PerFile& file) { return set_bzero ? BZERO_NEW : file.bzero_orig; }

}  // namespace corvane
