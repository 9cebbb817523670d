// Reads the arguments into steps and refuses a command line that would do
// something other than what was meant: a value that is not wholly a number, an
// option with nothing after it to act on, a misspelt option or a missing file.
// A typo in the middle then no longer leaves half a run done.
#include "driver/command_line.h"

#include "driver/output_check.h"
#include "driver/scan.h"
#include "platform/os.h"
#include "report.h"

namespace corvane {
namespace {

// The value of `option` is refused: says what it takes.
void ReportBadValue(const Option& option, const std::string& value) {
  if (option.value == ValueKind::kDecimal) {
    Report("Error: %s needs a decimal number written with a point, such as 0.5, neither too large nor too small, "
           "not '%s'\n", option.keyword, value.c_str());
  } else if (option.value == ValueKind::kCount) {
    Report("Error: %s needs a whole number from 0 to 2147483647, not '%s'\n", option.keyword, value.c_str());
  } else if (option.value == ValueKind::kInteger) {
    Report("Error: %s needs a whole number from -2147483648 to 2147483647, not '%s'\n", option.keyword,
           value.c_str());
  } else {
    Report("Error: %s needs a file name\n", option.keyword);
  }
}

// An output file must be a file in a folder that exists; an option's name
// there is an option left without its value.
bool AcceptsOutput(const std::string& value) {
  os::FileStatus status;
  if (FindOption(value) != nullptr) {
    Report("Error: -out needs a file name, not the option %s\n", value.c_str());
    return false;
  }
  if (os::QueryStatus(value, &status) && status.is_directory) {
    Report("Error: -out names the folder '%s'; it needs a file name\n", value.c_str());
    return false;
  }
  if (!os::QueryStatus(os::FolderOf(value), &status) || !status.is_directory) {
    Report("Error: -out names '%s', but its folder does not exist\n", value.c_str());
    return false;
  }
  return true;
}

// Reads the options and their values; false when any is refused.
bool ReadSteps(const std::vector<std::string>& words, std::vector<Step>* steps) {
  bool good = true;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const Option* option = FindOption(words[i]);
    if (option == nullptr) {
      steps->push_back({nullptr, words[i]});
      continue;
    }
    if (option->value == ValueKind::kNone) {
      steps->push_back({option, ""});
      continue;
    }
    if (i + 1 == words.size()) {
      Report("Error: %s needs a value, and nothing follows it\n", option->keyword);
      good = false;
      continue;
    }
    const std::string& value = words[++i];
    if (!AcceptsValue(*option, value)) {
      ReportBadValue(*option, value);
      good = false;
    } else if (option->value == ValueKind::kText && !AcceptsOutput(value)) {
      good = false;
    }
    steps->push_back({option, value});
  }
  return good;
}

// An option after the last path would act on nothing: it is a mistake, most
// often an option meant for the file before it.
bool NoOptionAfterTheLastPath(const std::vector<Step>& steps) {
  std::size_t last_path = steps.size();
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].option == nullptr) last_path = i;
  }
  if (last_path == steps.size()) {
    if (steps.empty()) return true;
    Report("Error: no file or folder follows the options; options act only on the files after them\n");
    return false;
  }
  bool good = true;
  for (std::size_t i = last_path + 1; i < steps.size(); ++i) {
    Report("Error: %s comes after the last file; options act only on the files after them\n",
           steps[i].option->keyword);
    good = false;
  }
  return good;
}

// Whether the last component of `path` is a pattern: a shell passes on one
// that matches nothing as it is, and so does the Windows build.
bool IsPattern(const std::string& path) {
  const std::size_t separator = path.find_last_of("/\\");
  return path.find_first_of("*?", separator == std::string::npos ? 0 : separator + 1) != std::string::npos;
}

// A word that starts with "-" and names no file: a misspelt option, most
// likely. The nearest option is named; when it takes a value, the word after
// is taken for that value rather than reported as a missing file too.
bool ReportUnknownOption(const std::string& word) {
  const bool lone_word = AsksForHelp(word) || AsksForVersion(word);
  const std::optional<Suggestion> nearest = lone_word ? std::nullopt : NearestOption(word);
  std::string hint = nearest ? " (did you mean " + std::string(nearest->keyword) + "?)" : "";
  if (lone_word) hint = " (it is answered only as the only argument)";
  Report("Error: unknown option '%s'%s; corvane --help lists the options, and a file whose name starts with '-' "
         "is given as ./%s\n", word.c_str(), hint.c_str(), word.c_str());
  return nearest && nearest->takes_value;
}

// Every path must exist (a folder named with one trailing separator too).
bool EveryPathExists(const std::vector<Step>& steps) {
  bool good = true;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].option != nullptr) continue;
    std::string path = steps[i].word;
    CutTrailingSeparator(path);
    const int error = os::StatusError(path);
    if (error == 0 || os::Exists(path)) continue;
    if (path.starts_with("-")) {
      // The value of a misspelt option is no missing file of its own.
      if (ReportUnknownOption(path) && i + 1 < steps.size() && steps[i + 1].option == nullptr) ++i;
    } else if (IsPattern(path)) {
      Report("Error: no file matches '%s'\n", path.c_str());
    } else {
      Report("Cannot stat '%s'\nCannot access file [%s]\n", path.c_str(), path.c_str());
      Report("\t'%s': %s\n", path.c_str(), os::ErrorText(error).c_str());
    }
    good = false;
  }
  return good;
}

}  // namespace

void ApplyOptionStep(const Step& step) {
  step.option->apply(step.option->value == ValueKind::kNone ? nullptr : step.word.c_str());
}

std::optional<std::vector<Step>> CheckCommandLine(const std::vector<std::string>& words) {
  std::vector<Step> steps;
  bool good = ReadSteps(words, &steps);
  good = NoOptionAfterTheLastPath(steps) && good;
  good = EveryPathExists(steps) && good;
  // Only a command line that is otherwise sound is compared file by file.
  if (good) good = OutputsAreNoInputs(steps);
  if (good) good = OutputsTakeOneFileEach(steps);
  if (good) return steps;
  Report("Nothing was changed: no file was read or written.\n");
  return std::nullopt;
}

}  // namespace corvane
