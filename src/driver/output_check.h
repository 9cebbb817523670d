// The -out file checked against the inputs of the whole command line: an
// output that is also one of the files the run repairs would be overwritten
// before its own turn comes, and an output file followed by several inputs
// would keep only the last, so such runs are refused before anything is written.
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

// An output file holds one image: a -out that names a file (or a new name)
// followed by more than one file (a folder counts as its FITS entries) would
// keep only the last. False, with a report line, for each such -out.
// Standard output, a FIFO or a device takes the images one after another.
bool OutputsTakeOneFileEach(const std::vector<Step>& steps);

}  // namespace corvane
