// Standard-error reporting, the lines held back for a file still being put in
// place, and the early exit of the run. The main thread's report goes out a
// whole line at a time, so that a console shows each line as it was written.
#include "report.h"

#include "platform/os.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace corvane {
namespace {

int g_stretch_announcements = 0;
bool g_direct_output = false;
void (*g_route)(std::string_view) = nullptr;
void (*g_finish)() = nullptr;
thread_local std::string* t_capture = nullptr;
std::string g_unended;  // the start of a line that no call has ended yet

// Sends the report up to its last line end (all of it when `all`) where the
// run's reports go.
void Deliver(std::string_view text, bool all) {
  g_unended.append(text);
  const std::size_t last = g_unended.rfind('\n');
  const std::size_t end = all ? g_unended.size() : (last == std::string::npos ? 0 : last + 1);
  if (end == 0) return;
  const std::string_view lines(g_unended.data(), end);
  if (g_route != nullptr) {
    g_route(lines);
  } else {
    os::WriteReport(lines);
  }
  g_unended.erase(0, end);
}

// The formatted text of one report; false when there is no memory for it.
bool Format(std::string* text, const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  if (length <= 0) return true;
  try {
    text->resize(static_cast<std::size_t>(length) + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  (void)std::vsnprintf(text->data(), text->size(), format, args);
  text->pop_back();
  return true;
}

}  // namespace

ReportCapture::ReportCapture(std::string* into) : previous_(t_capture) { t_capture = into; }

ReportCapture::~ReportCapture() { t_capture = previous_; }

void RouteReports(void (*route)(std::string_view), void (*finish)()) {
  g_route = route;
  g_finish = finish;
}

void AnnounceStretch() { ++g_stretch_announcements; }

void NoteDirectOutput() { g_direct_output = true; }

int PendingStretchAnnouncements() { return g_stretch_announcements; }

void Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list direct;
  va_copy(direct, args);
  std::string text;
  // Out of memory, a held line goes out now, out of order rather than lost.
  if (!Format(&text, format, args)) {
    (void)std::vfprintf(stderr, format, direct);  // a report that cannot be written has nowhere to go
  } else if (t_capture != nullptr) {
    t_capture->append(text);
  } else {
    try {
      Deliver(text, false);
    } catch (const std::bad_alloc&) {
      os::WriteReport(text);  // out of order rather than lost
    }
  }
  va_end(direct);
  va_end(args);
}

void ExitRun(int status) {
  Deliver("", true);
  if (g_finish != nullptr) g_finish();
  // Printed on standard output these lines stayed in its buffer until now anyway.
  for (; g_stretch_announcements > 0; --g_stretch_announcements) {
    (void)std::fputs("[do_stretch] ", g_direct_output ? stderr : stdout);  // a closed stream changes nothing
  }
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  std::exit(status);
}

}  // namespace corvane
