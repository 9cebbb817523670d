// The run settings: program-wide values set by the command-line options as they
// are met, read by the repair engine, which also writes BZERO_ORIG and
// arg_padbytes. They live for the whole run; nothing is saved between runs.
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
extern std::int32_t BZERO_ORIG;  // last BZERO accepted from a header this run
extern int do_stretch;           // -stretch: stretch the pixel range
extern int force;                // -force: process files that would be skipped
extern int check_only;           // -check: read and report every file, write nothing
extern std::int32_t arg_padbytes;            // -padbytes B, or 2880 after an Astra Image file
extern std::optional<std::string> OUT_FNAME;  // -out f: one output file for every input

// The BZERO a repaired file gets: -bzero's value, or the last one read.
inline std::int32_t BzeroToWrite() { return set_bzero ? BZERO_NEW : BZERO_ORIG; }

// Puts every run setting back to its start value (for tests and fuzzing).
void ResetRunSettings();

}  // namespace corvane
