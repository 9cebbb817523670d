// The -out file against the inputs: each named file, and each entry of a
// named folder that a scan would repair (a FITS name), compared as files, so
// a hard link or a symbolic link to an input counts as that input.
#include "driver/output_check.h"

#include <algorithm>

#include "driver/options.h"
#include "driver/scan.h"
#include "platform/os.h"
#include "report.h"

namespace corvane {

std::string InputNamedByOutput(const std::string& output, const std::vector<std::string>& inputs) {
  if (!os::Exists(output)) return std::string();  // a new file is no input
  for (const std::string& as_written : inputs) {
    // The run cuts one trailing separator before it looks at a path
    // ("a.fit/" is a.fit), so the comparison does too.
    std::string input = as_written;
    CutTrailingSeparator(input);
    os::FileStatus status;
    if (!os::QueryStatus(input, &status)) continue;
    if (!status.is_directory) {
      if (os::SameFile(output, input)) return input;
      continue;
    }
    std::vector<std::string> names;
    if (os::ListDirectory(input, &names) != 0) continue;
    const std::string& folder = input;
    for (const std::string& name : names) {
      std::string path = folder;
      path.append(os::kSeparator).append(name);
      if (isFitsFilename(name) != 0 && os::SameFile(output, path)) return path;
    }
  }
  return std::string();
}

namespace {

// How many files a path hands to the repair: a folder its FITS entries, as
// the scan picks them, anything else one.
int FilesOf(std::string path) {
  CutTrailingSeparator(path);
  os::FileStatus status;
  std::vector<std::string> names;
  if (!os::QueryStatus(path, &status) || !status.is_directory || os::ListDirectory(path, &names) != 0) return 1;
  return static_cast<int>(std::count_if(names.begin(), names.end(), [](const std::string& name) {
    return name.size() >= 5 && isFitsFilename(name) != 0;
  }));
}

// Standard output, a FIFO, a terminal or another device: written as it is.
bool IsDirectOutput(const std::string& output) {
  os::FileStatus status;
  return os::IsStandardOutput(output) || (os::QueryStatus(output, &status) && !status.is_regular && !status.is_directory);
}

}  // namespace

bool OutputsTakeOneFileEach(const std::vector<Step>& steps) {
  bool good = true;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (steps[i].option == nullptr || steps[i].option->value != ValueKind::kText) continue;
    int files = 0;
    for (std::size_t j = i + 1; j < steps.size(); ++j) {
      if (steps[j].option != nullptr && steps[j].option->value == ValueKind::kText) break;  // the next -out takes over
      if (steps[j].option == nullptr) files += FilesOf(steps[j].word);
    }
    if (files < 2 || IsDirectOutput(steps[i].word)) continue;
    Report("Error: -out '%s' would keep only the last of the %d files after it, since an output file holds one "
           "image: give each file its own -out, or repair in place without -out\n", steps[i].word.c_str(), files);
    good = false;
  }
  return good;
}

bool OutputsAreNoInputs(const std::vector<Step>& steps) {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  for (const Step& step : steps) {
    if (step.option == nullptr) inputs.push_back(step.word);
    if (step.option != nullptr && step.option->value == ValueKind::kText) outputs.push_back(step.word);
  }
  for (const std::string& output : outputs) {
    const std::string input = InputNamedByOutput(output, inputs);
    if (input.empty()) continue;
    Report("Error: the output file '%s' is '%s', which this run also repairs; nothing was written\n", output.c_str(),
           input.c_str());
    return false;
  }
  return true;
}

}  // namespace corvane
