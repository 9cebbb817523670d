// Standard-error reporting and the early exit of the run.
#include "report.h"

#include "platform/os.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace corvane {
namespace {

int g_stretch_announcements = 0;
bool g_direct_output = false;

}  // namespace

void AnnounceStretch() { ++g_stretch_announcements; }

void NoteDirectOutput() { g_direct_output = true; }

int PendingStretchAnnouncements() { return g_stretch_announcements; }

void Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)std::vfprintf(stderr, format, args);  // a report that cannot be written has nowhere to go
  va_end(args);
}

void ExitRun(int status) {
  os::FlushDirectories();
  // Printed on standard output these lines stayed in its buffer until now anyway.
  for (; g_stretch_announcements > 0; --g_stretch_announcements) {
    (void)std::fputs("[do_stretch] ", g_direct_output ? stderr : stdout);  // a closed stream changes nothing
  }
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  std::exit(status);
}

}  // namespace corvane
