// A write through the image itself, for a folder that takes no new file (or
// a new copy that could not be given to the image's owner): every check is
// made before the first byte changes, and a card says a repair is under way
// until the last byte is on disk, so a crash never leaves a file that passes
// for repaired.
#include <cstdio>
#include <string>

#include "fits/committer.h"
#include "fits/fits.h"
#include "fits/writer.h"
#include "report.h"

namespace corvane {
namespace {

constexpr char kUnderWayText[] = "CORVANE repair under way - if this stays, the repair was cut off";
// The first card while the rewrite is under way, in place of SIMPLE: FITS
// readers refuse a file that does not start with SIMPLE (one that says
// SIMPLE = F some still read), and the final header puts it back.
constexpr char kUnderWayFirstCard[] = "CORVANE = 'repair under way - no FITS image until it is finished'";

// A rewrite that stopped half way: an interruption held until now must not
// end the run saying the image was left as it was.
Next Damaged(const PerFile& f) {
  os::SetInterruptNote("Interrupted just after the repair of '" + f.path + "' failed half way: it is damaged, as "
                       "said above\n");
  return Next::kFailed;
}

}  // namespace

// Writes the result over the image itself, for a folder that takes no new
// file (or a copy that could not be given to the image's owner). A failure
// half way would leave the image half repaired, so a change by another
// program, a full disk and an interruption are ruled out first; and the
// header first says a repair is under way and is flushed before any pixel
// changes, then the data is flushed, and only then does the marker replace
// that card: a crash at any point leaves the original, a file a later run
// refuses as damaged, or the whole repair.
Next WriteThrough(PerFile& f, os::Target& target, const Header& original) {
  // Copies waiting for their batch are put in place first: this file's
  // lines, its OK above all, must not wait behind theirs for a signal to
  // drop, and the room their originals took is free for the measure below.
  WaitForCommits();
  // Each chunk is read just before it is written over: every check of the
  // data area is made before the first byte changes.
  if (!f.checked_ahead && ScanDataArea(f, f.data_size) != Next::kContinue) return Next::kFailed;
  f.target.DropLease();  // a descriptor open for writing would break it
  if (f.end_index >= kLastCard) {
    Report("Error: '%s' left unchanged, its header has no free card to say a repair is under way\n",
           f.path.c_str());
    return Next::kFailed;
  }
  if (const int error = target.OpenForWriting(); error != 0) {
    Report("Error: '%s' left unchanged, cannot open it for writing: %s\n", f.path.c_str(),
           os::ErrorText(error).c_str());
    return Next::kFailed;
  }
  if (!target.Unchanged() || !target.StillNamed()) {
    Report("Error: '%s' left unchanged, it changed while it was being repaired\n", f.path.c_str());
    return Next::kFailed;
  }
  const os::InterruptsHeld held;
  if (const int error = target.Reserve(ResultSize(f)); error != 0) {
    Report("Error: '%s' left unchanged, no room for the repaired file: %s\n", f.path.c_str(),
           os::ErrorText(error).c_str());
    return Next::kFailed;
  }
  os::File& file = target.Writable();
  // A file cut off half way must pass for no image at all, to any reader:
  // the card says why to Corvane, the signature refuses it to the others.
  Header under_way = original;
  PutBeforeEnd(under_way, f.end_index, kUnderWayText);
  (void)std::snprintf(under_way[0].data(), under_way[0].size(), "%-80.80s", kUnderWayFirstCard);  // 80 characters
  std::string cause;
  if (!file.Rewind() || !WriteHeader(under_way, file, &cause) || !file.Sync()) {
    if (cause.empty()) cause = os::LastErrorText();
    // No pixel has changed yet: the original header, written back, and the
    // size it had (a reservation may have grown it) make it whole.
    std::string again;
    if (file.Rewind() && WriteHeader(original, file, &again) && target.RestoreSize() && file.Sync()) {
      Report("Error: '%s' left unchanged, its header could not be marked as under repair: %s\n", f.path.c_str(),
             cause.c_str());
    } else {
      Report("Error: '%s' is damaged: its header could not be marked as under repair (%s) nor written back; its "
             "pixels are the original's, a later run may refuse it\n", f.path.c_str(), cause.c_str());
      return Damaged(f);
    }
    return Next::kFailed;
  }
  std::uint64_t sum = 0;
  if (!WriteBody(f, file, &sum, &cause) || !file.Sync()) {
    if (cause.empty()) cause = os::LastErrorText();
    Report("Error: '%s' is damaged: it was only partly rewritten (%s); a later run refuses it, restore it from "
           "a backup\n", f.path.c_str(), cause.c_str());
    return Damaged(f);
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' is damaged: another program changed its pixels while it was rewritten; a later run "
           "refuses it, restore it from a backup\n", f.path.c_str());
    return Damaged(f);
  }
  // Without a lease another program may have replaced the image or cut it
  // while it was rewritten: the marker must not seal whatever is there now.
  if (!target.StillNamed()) {
    Report("Error: '%s' was replaced by another program while it was rewritten: the name holds that program's "
           "file, untouched, and the repair went to the file it replaced\n", f.path.c_str());
    return Next::kFailed;
  }
  if (!target.HasSize(ResultSize(f))) {
    Report("Error: '%s' is damaged: another program cut or rewrote it while it was rewritten; a later run "
           "refuses it, restore it from a backup\n", f.path.c_str());
    return Damaged(f);
  }
  if (!file.Rewind() || !WriteHeader(f.header, file, &cause) || !file.Sync()) {
    if (cause.empty()) cause = os::LastErrorText();
    Report("Error: '%s' is damaged: its pixels are repaired but its header could not be finished (%s); a later "
           "run refuses it, restore it from a backup\n", f.path.c_str(), cause.c_str());
    return Damaged(f);
  }
  return Finish(true);
}

}  // namespace corvane
