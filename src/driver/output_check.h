// The -out file checked against the inputs of the whole command line: an
// output that is also one of the files the run repairs would be overwritten
// before its own turn comes, so such a run is refused before anything is written.
#pragma once

#include <string>
#include <vector>

#include "driver/command_line.h"

namespace corvane {

// The input (a named file, or a FITS entry of a named folder) that `output`
// names under any name; empty when it names none of them.
std::string InputNamedByOutput(const std::string& output, const std::vector<std::string>& inputs);

// Checks every -out value of the command line against every path on it;
// false, with a report line, when one names an input.
bool OutputsAreNoInputs(const std::vector<Step>& steps);

}  // namespace corvane
