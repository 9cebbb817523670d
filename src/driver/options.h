// The eight command-line options and what each does to the run settings.
#pragma once

namespace corvane {

// If argv[i] is an option, applies it (consuming its value from argv[i+1] when
// it takes one) and returns how many arguments it used (1 or 2). Returns 0 when
// argv[i] is not an option, that is, when it is a path.
int ApplyOption(int argc, char** argv, int i);

// How many arguments ApplyOption would use at argv[i], without applying it.
int OptionLength(int argc, char** argv, int i);

}  // namespace corvane
