// Standard-error reporting and the early exit of the run. The report goes
// out a whole line at a time, so that a console shows each line as it was
// written, and a line built by several calls waits here for its end.
#include "report.h"

#include "platform/os.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace corvane {
namespace {

int g_stretch_announcements = 0;
bool g_direct_output = false;
std::string g_unended;  // the start of a line that no call has ended yet

// Writes out the report up to its last line end (everything, when `all`).
void WriteLines(bool all) {
  const std::size_t last = g_unended.rfind('\n');
  const std::size_t end = all ? g_unended.size() : (last == std::string::npos ? 0 : last + 1);
  if (end == 0) return;
  os::WriteReport(std::string_view(g_unended).substr(0, end));
  g_unended.erase(0, end);
}

}  // namespace

void AnnounceStretch() { ++g_stretch_announcements; }

void NoteDirectOutput() { g_direct_output = true; }

int PendingStretchAnnouncements() { return g_stretch_announcements; }

void Report(const char* format, ...) {
  va_list args;
  va_list again;
  va_start(args, format);
  va_copy(again, args);
  // Most messages fit here, which takes no memory: a report of memory
  // running short must get out.
  char text[1024];
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length >= static_cast<int>(sizeof text)) {
    std::string long_text(static_cast<std::size_t>(length) + 1, '\0');
    (void)std::vsnprintf(long_text.data(), long_text.size(), format, again);
    g_unended.append(long_text, 0, static_cast<std::size_t>(length));
  } else if (length > 0 && g_unended.empty() && text[length - 1] == '\n') {
    os::WriteReport(std::string_view(text, static_cast<std::size_t>(length)));
  } else if (length > 0) {
    g_unended.append(text, static_cast<std::size_t>(length));
  }
  va_end(again);
  WriteLines(false);
}

void ExitRun(int status) {
  WriteLines(true);
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
