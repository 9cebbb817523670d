// One batch of the group commit, on the committing thread: the data of every
// copy flushed at once, each copy put in its image's place in order with the
// checks of its file, each folder flushed once, then each file's last lines.
// A file that fails leaves the batch; the others go on without it.
#include <string>
#include <vector>

#include "fits/committer.h"
#include "report.h"

namespace corvane {
namespace {

// Puts one flushed copy in place and lets go of its image's lease; false,
// with the file's error line, when its flush failed or a check refuses it.
bool PutInPlace(const BatchEntry& entry, int flush_error) {
  PendingCopy& pending = *entry.copy;
  std::string error;
  if (flush_error != 0) {
    error = "cannot flush the new copy to disk: " + os::ErrorText(flush_error);
  } else if (pending.copy.PutInPlace(pending.target, &error)) {
    pending.target.DropLease();
    return true;
  }
  const ReportCapture capture(&entry.lines);
  if (pending.copy.NameChanged()) {
    Report("Error: '%s' %s\n", pending.path.c_str(), error.c_str());
  } else {
    Report("Error: '%s' left unchanged, %s\n", pending.path.c_str(), error.c_str());
  }
  entry.outcome = Outcome::kFailed;
  return false;
}

// Flushes each folder that got a new name, once; the error of each file's folder (0: on disk).
std::vector<int> FlushFolders(const std::vector<BatchEntry>& batch, const std::vector<bool>& placed) {
  std::vector<int> errors(batch.size(), 0);
  for (std::size_t k = 0; k < batch.size(); ++k) {
    if (!placed[k]) continue;
    const os::Target& target = batch[k].copy->target;
    std::size_t same = 0;
    while (same < k && !(placed[same] && batch[same].copy->target.SameFolderAs(target))) ++same;
    errors[k] = same < k ? errors[same] : target.FlushFolder(batch[k].copy->copy.Output());
  }
  return errors;
}

// The last lines of a file put in place: OK once its name is on disk.
void ReportPlaced(const BatchEntry& entry, int folder_error) {
  const PendingCopy& pending = *entry.copy;
  const ReportCapture capture(&entry.lines);
  if (folder_error != 0) {
    Report("Error: '%s' holds the repair, but its folder could not be flushed to disk (%s): a power cut may "
           "still bring back the original\n", pending.path.c_str(), os::ErrorText(folder_error).c_str());
    entry.outcome = Outcome::kFailed;
    return;
  }
  if (!pending.note.empty()) Report("\tNote: %s\n", pending.note.c_str());
  Report("\tOK\n");
  entry.outcome = Outcome::kRepaired;
}

}  // namespace

void CommitBatch(const std::vector<BatchEntry>& batch) {
  std::vector<os::Replacement*> copies;
  copies.reserve(batch.size());
  for (const BatchEntry& entry : batch) copies.push_back(&entry.copy->copy);
  const std::vector<int> flushed = os::FlushCopies(copies);
  std::vector<bool> placed(batch.size(), false);
  for (std::size_t k = 0; k < batch.size(); ++k) placed[k] = PutInPlace(batch[k], flushed[k]);
  const std::vector<int> folders = FlushFolders(batch, placed);
  for (std::size_t k = 0; k < batch.size(); ++k) {
    if (placed[k]) ReportPlaced(batch[k], folders[k]);
    // A copy that is not put in place is removed here; what that says belongs to its file.
    const ReportCapture capture(&batch[k].lines);
    batch[k].copy.reset();
  }
}

}  // namespace corvane
