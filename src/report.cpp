// Standard-error reporting and the early exit of the run.
#include "report.h"

#include "platform/os.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace corvane {

void Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)std::vfprintf(stderr, format, args);  // a report that cannot be written has nowhere to go
  va_end(args);
}

void ExitRun(int status) {
  os::FlushDirectories();
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  std::exit(status);
}

}  // namespace corvane
