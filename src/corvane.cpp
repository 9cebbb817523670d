// Corvane's entry: checks the whole command line, then walks it left to right.
// Options change the run settings when they are met; each path is repaired when
// it is met, with the settings as they stand then. The exit status says whether
// any file failed. Also holds the usage text, and answers --help and --version
// when one of them (or Windows' /? and -?) is the only argument.
#include <cstdio>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "driver/command_line.h"
#include "driver/scan.h"
#include "fits/committer.h"
#include "fits/fits.h"
#include "platform/os.h"
#include "report.h"
#include "settings.h"

namespace corvane {

// The banner names the version from its one source, the project's.
constexpr const char* kBanner =
    "Corvane " CORVANE_VERSION " - repairs integer FITS images from stacking software. Free to use and share.";

// The usage text, on standard error for a bare `corvane`, on standard output for --help.
void Usage(std::FILE* stream) {
  static const char* const kLines[] = {
      "",
      kBanner,
      "",
      "Usage: corvane [ option ] [ option ] ... input-file(s) or directories",
      "",
      "Options are:",
      "    -add N\t\tAdd integer value N to each pixel value (Default 0).",
      "\t\t\tN may be negative.",
      "",
      "    -scale S\t\tMultiply each pixel value by decimal value S ",
      "\t\t\t(default 1.0).",
      "",
      "    -bzero Z\t\tSet the BZERO header value to the integer value Z",
      "\t\t\tDefault is to leave it unchanged.",
      "",
      "    -force\t\tForce corvane to process the input files even if it",
      "\t\t\tdoesn't want to. By default corvane adds an extra",
      "\t\t\theader to indicate that it's processed a file,",
      "\t\t\tand if it detects that header in an input file then",
      "\t\t\tit will be skipped. This is to let you always say",
      "\t\t\tsomething like 'corvane *.fit' and have it only",
      "\t\t\tprocess new files.",
      "",
      "    -out f\t\tWrite the new data to file named f instead of the",
      "\t\t\tdefault behaviour which is to overwrite the original",
      "\t\t\tfile. Only useful when processing a single file.",
      "",
      "    -padbytes B\t\tAdd extra B bytes to the end of the file.",
      "\t\t\tCan be used to correct for some programs that produce",
      "\t\t\tincorrect FITS files. ",
      "",
      "\t\tNOTE: corvane automatically detects and fixes files produced",
      "\t\tby Registax and Astra Image, so no special options are",
      "\t\trequired for it to handle those files.",
      "",
      "    -stretch  (experimental)",
      "\t\t\tStretches the range of values in the FIT file.",
      "\t\t\tDon't expect this to work yet :-)",
      "",
      "    -check\t\tRead and report every file as a real run would,",
      "\t\t\tbut write nothing: no file is changed or created.",
      "\t\t\tSays 'Would be repaired' where a run says OK.",
      "",
      "Caveats: This program was written exclusively to handle FITS files produced",
      " by Registax and Astra Image.",
      "",
      "It may not work with FITS files from other sources as yet, since it's",
      "FITS handling is not completely implemented.",
      "This program is a work in progress. Use with care.",
      "",
  };
  for (const char* line : kLines) (void)std::fprintf(stream, "%s\n", line);
}

// Started from Explorer with nothing to repair (a double-click): how to use
// it from there, on a screen of its own, since the usage text that follows
// is longer than the window and scrolls it away.
void Welcome() {
  (void)std::fprintf(stderr,
                     "\n%s\n\n"
                     "To repair images, drag them, or a folder that holds them, onto corvane.exe.\n"
                     "Or right-click an image or a folder and choose \"Repair with Corvane\";\n"
                     "\"Check with Corvane\" shows what a repair would do and changes nothing.\n\n"
                     "In a Command Prompt, \"corvane -check *.fit\" shows what \"corvane *.fit\" would do.\n\n",
                     kBanner);
  os::WaitForEnter("Press Enter to see the options.");
}

// A lone --help, -h or --version is answered instead of taken as a path; in
// any other place these words stay paths, so no older command line changes
// meaning. Windows programs answer /? and -? too.
bool AnswerLoneWord(std::string_view word) {
  if (AsksForHelp(word)) {
    Usage(stdout);
    return true;
  }
  if (AsksForVersion(word)) {
    (void)std::printf("corvane %s\nMIT License\n", CORVANE_VERSION);
    return true;
  }
  return false;
}

// What the run did, as it goes.
struct RunState {
  Tally tally;
  bool saw_folder = false;
  int unlisted = 0;  // folders that could not be listed
};

// One path argument: a directory is scanned, anything else repaired. Every
// path existed when the command line was checked; one removed since fails.
void HandlePath(std::string path, RunState& run) {
  if (isDirectory(path)) {
    run.saw_folder = true;
    if (!ScanDirectory(path, run.tally)) ++run.unlisted;
    return;
  }
  if (!os::Exists(path)) {
    Report("Cannot access file [%s]\n", path.c_str());
    Report("\t'%s': %s\n", path.c_str(), os::ErrorText(os::StatusError(path)).c_str());
    run.tally.Count(Outcome::kFailed, path);
    return;
  }
  run.tally.Count(Fixup(path), path);
}

// After the count line, the files that failed, so that a window too short
// for the whole report still shows which they were.
void ListFailures(const Tally& tally) {
  constexpr std::size_t kListed = 20;
  const std::vector<std::string>& paths = tally.failed_paths;
  if (paths.empty()) return;
  Report("Failed:\n");
  for (std::size_t i = 0; i < paths.size() && i < kListed; ++i) Report("\t%s\n", paths[i].c_str());
  if (paths.size() > kListed) Report("\tand %d more\n", static_cast<int>(paths.size() - kListed));
}

// A run over a folder or several files ends with what became of them.
void ReportSummary(const RunState& run) {
  const Tally& t = run.tally;
  if (!run.saw_folder && t.Files() < 2) return;
  Report("%d %s: ", t.Files(), t.Files() == 1 ? "file" : "files");
  // A run that repaired files and then only checked others says both.
  if (t.some_written || !check_only) Report("%d repaired, ", t.repaired);
  if (check_only) Report("%d would be repaired, ", t.would_repair);
  Report("%d skipped, %d failed", t.skipped, t.failed);
  if (run.unlisted > 0) Report("; %d folder(s) could not be listed", run.unlisted);
  Report("\n");
  ListFailures(t);
}

}  // namespace corvane

int main(int argc, char** argv) {
  using namespace corvane;
  os::PrepareProcess();
  NoteInterruptBetweenFiles();
  std::vector<std::string> words = os::CommandLine(argc, argv);
  if (words.size() < 2) {
    if (os::InWindowOfItsOwn()) Welcome();
    Usage(stderr);
    ExitRun(0);
  }
  if (words.size() == 2 && AnswerLoneWord(words[1])) ExitRun(0);
  const std::optional<std::vector<Step>> steps = CheckCommandLine({words.begin() + 1, words.end()});
  if (!steps) ExitRun(1);
  RunState run;
  for (const Step& step : *steps) {
    if (step.option != nullptr) {
      ApplyOptionStep(step);
    } else {
      HandlePath(step.word, run);
    }
  }
  for (const Committed& committed : FinishCommits()) run.tally.Count(committed.outcome, committed.path);
  ReportSummary(run);
  ExitRun(run.tally.failed > 0 || run.unlisted > 0 ? 1 : 0);
}
