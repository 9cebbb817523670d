// The -out file against the inputs: each named file, and each entry of a
// named folder that a scan would repair (a FITS name), compared as files, so
// a hard link or a symbolic link to an input counts as that input.
#include "driver/output_check.h"

#include <algorithm>
#include <utility>

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
    return isFitsFilename(name) != 0;
  }));
}

// Whether two -out values name one file, which need not exist yet: the same
// name in the same folder.
bool SameOutput(const std::string& one, const std::string& two) {
  if (one == two || os::SameFile(one, two)) return true;
  const auto name = [](const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); };
  return name(one) == name(two) && os::SameFile(os::FolderOf(one), os::FolderOf(two));
}

}  // namespace

bool OutputsTakeOneFileEach(const std::vector<Step>& steps) {
  // Each -out with the files it takes, until the next -out takes over; from
  // -check on, files are only checked and no output is written.
  std::vector<std::pair<std::string, int>> outputs;
  for (const Step& step : steps) {
    if (step.option == FindOption("-check")) break;
    if (step.option != nullptr && step.option->value == ValueKind::kText) outputs.emplace_back(step.word, 0);
    if (step.option == nullptr && !outputs.empty()) outputs.back().second += FilesOf(step.word);
  }
  bool good = true;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    // The same file named by several -outs holds only the last image of them all.
    int files = outputs[i].second;
    bool first = true;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      if (k == i || !SameOutput(outputs[k].first, outputs[i].first)) continue;
      first = first && k > i;
      if (k != i) files += outputs[k].second;
    }
    if (!first || files < 2 || WritesDirectly(outputs[i].first)) continue;
    Report("Error: -out '%s' would keep only the last of the %d files written to it, since an output file holds "
           "one image: give each file its own -out, or repair in place without -out\n", outputs[i].first.c_str(),
           files);
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
