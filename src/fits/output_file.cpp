// The -out file: every file of the run goes to it, written as a new file
// beside it that takes its name when complete; standard output, a FIFO, a
// terminal or a device is written directly, as it is.
#include <optional>
#include <string>

#include "settings.h"
#include "fits/committer.h"
#include "fits/fits.h"
#include "fits/writer.h"
#include "report.h"

namespace corvane {
namespace {

// The output written directly, open from its first image until the run
// ends or another -out takes over: closed after each image, a FIFO would
// tell its reader the stream had ended, and the next image would wait for
// a reader that is gone.
struct DirectOutput {
  std::string name;
  os::File file;
};

DirectOutput& Direct() {
  static DirectOutput direct;
  return direct;
}

// An output that cannot be written ends the run: every later file would go to it too.
[[noreturn]] void OutputCannotBeWritten(const std::string& output, const std::string& why) {
  Report("Error: '%s' cannot be written%s\n", output.c_str(), why.c_str());
  Report("Cannot open output file [%s]\n", output.c_str());
  ExitRun(1);
}

// A FIFO, a terminal or standard output: written as it is, from where it stands.
Next WriteDirectly(PerFile& f, const std::string& output) {
  NoteDirectOutput();
  os::SetInterruptNote("Interrupted while writing the repair of '" + f.path + "' to '" + output +
                       "': it got only part of it\n");
  os::File& out = Direct().file;
  if (!out.IsOpen()) {
    const int error = os::IsStandardOutput(output) ? os::OpenStandardOutput(&out) : os::OpenDirect(output, &out);
    if (error != 0) OutputCannotBeWritten(output, ": " + os::ErrorText(error));
    Direct().name = output;
  }
  std::uint64_t sum = 0;
  std::string cause;
  if (!WriteImage(f, out, &sum, &cause)) {
    Report("Error: '%s' got only part of the repair of '%s': %s\n", output.c_str(), f.path.c_str(), cause.c_str());
    return Next::kFailed;
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' got a mix of two versions of '%s': another program changed it meanwhile\n",
           output.c_str(), f.path.c_str());
    return Next::kFailed;
  }
  return Finish(true);
}

}  // namespace

bool WritesDirectly(const std::string& output) {
  os::FileStatus status;
  return os::IsStandardOutput(output) || (os::QueryStatus(output, &status) && !status.is_regular);
}

// Every file of the run goes to the same output file, which holds exactly the
// last one: each written as a new file beside it that takes its name when
// complete, with the input's mode less the umask.
Next WriteToOutputFile(PerFile& f) {
  const std::string& output = *OUT_FNAME;
  // Copies waiting for their batch are put in place first: what this file
  // says of its output must not wait behind their lines for a signal to drop.
  WaitForCommits();
  if (Direct().name != output) Direct() = DirectOutput{};  // its reader now sees the end
  if (os::IsStandardOutput(output)) return WriteDirectly(f, output);
  os::Target out;
  if (const int error = out.OpenOutput(output); error != 0) OutputCannotBeWritten(output, ": " + os::ErrorText(error));
  if (out.Exists() && !out.Status().is_regular) return WriteDirectly(f, output);
  if (!LeaseInput(f)) return Next::kFailed;
  std::optional<os::Replacement> replacement(std::in_place);
  if (const int error = replacement->Create(out); error != 0) {
    OutputCannotBeWritten(output, ", no new copy can be made beside it: " + os::ErrorText(error));
  }
  const char* before = out.Exists() ? "left as it was" : "not created";
  std::string error;
  std::uint64_t sum = 0;
  if (!WriteCopy(f, replacement, out, &sum, &error)) {
    Report("Error: '%s' %s, the new copy could not be written: %s\n", output.c_str(), before, error.c_str());
    return Next::kFailed;
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' %s, another program changed '%s' while it was being repaired\n", output.c_str(), before,
           f.path.c_str());
    return Next::kFailed;
  }
  const auto attributes = replacement->TakeModeOf(f.target.Input(), out.Input(), &error);
  if (attributes != os::Replacement::Attributes::kCopied) {
    if (attributes == os::Replacement::Attributes::kOtherOwner) error = "it belongs to another user";
    Report("Error: '%s' %s, cannot give the new copy its permissions: %s\n", output.c_str(), before,
           error.c_str());
    return Next::kFailed;
  }
  if (!replacement->Commit(out, &error, &f.target)) {
    // Put in place, but its folder could not be flushed: it may not be on disk.
    if (replacement->NameChanged()) {
      Report("Error: '%s' holds the repair of '%s', but %s\n", output.c_str(), f.path.c_str(), error.c_str());
    } else {
      Report("Error: '%s' %s; the repair of '%s' was not put in place: %s\n", output.c_str(), before,
             f.path.c_str(), error.c_str());
    }
    return Next::kFailed;
  }
  f.target.DropLease();
  return Finish(true);
}
}  // namespace corvane
