// The run settings: program-wide values set by the command-line options as they
// are met and read by the repair engine, which never writes them. They live
// for the whole run; nothing is saved between runs.
// Both the driver and the engine use them from here, below either of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

extern std::int32_t ADD_VALUE;   // -add N: offset added to every pixel
extern double SCALE_VALUE;       // -scale S: factor applied to every pixel
extern std::int32_t BZERO_NEW;   // -bzero Z: BZERO written when set_bzero is on
extern int set_bzero;            // -bzero Z: write BZERO_NEW, not the value read
extern int do_stretch;           // -stretch: stretch the pixel range
extern int force;                // -force: process files that would be skipped
extern int check_only;           // -check: read and report every file, write nothing
extern std::int32_t arg_padbytes;            // -padbytes B: extra zero bytes after the data
extern std::optional<std::string> OUT_FNAME;  // -out f: one output file for every input

// Puts every run setting back to its start value (for tests and fuzzing).
void ResetRunSettings();

}  // namespace corvane
