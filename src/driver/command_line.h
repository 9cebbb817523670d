// The whole command line, checked before any file is touched: every option
// has a value of its kind, no option stands after the last path (where it
// would act on nothing), and every path exists.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "driver/options.h"

namespace corvane {

// One argument, or an option with its value, in command-line order.
struct Step {
  const Option* option = nullptr;  // null for a path
  std::string word;                // the path, or the option's value ("" for a flag)
};

// Applies an option step to the run settings (a flag gets no value).
void ApplyOptionStep(const Step& step);

// The steps of `words` (the arguments after the program name), or nothing
// when the command line cannot be run as written; then every fault has been
// reported, followed by a line saying that nothing was changed.
std::optional<std::vector<Step>> CheckCommandLine(const std::vector<std::string>& words);

}  // namespace corvane
