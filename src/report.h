// The one way Corvane talks to the user: formatted lines on standard error, and
// the single helper through which the run ends early. Every message is a literal
// format at its call site, so grepping a message finds the code that prints it.
// Lines can be held back, so that each file's lines come out in the order the
// files were started even when a file's last lines are decided later.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Writes one formatted message to standard error, or where this thread's
// ReportCapture or the run's report route sends it.
[[gnu::format(printf, 1, 2)]] void Report(const char* format, ...);

// While it lives, what this thread reports is appended to `into` instead.
class ReportCapture {
 public:
  explicit ReportCapture(std::string* into);
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

 private:
  std::string* previous_;
};

// Sends every later report of the main thread to `route` (nullptr: straight
// to standard error again), and has ExitRun call `finish` before the run ends.
void RouteReports(void (*route)(std::string_view text), void (*finish)());

// -stretch says "[do_stretch] " once the run ends: on standard output, unless
// an image was written straight to a FIFO, terminal or standard output
// (NoteDirectOutput), where the line would land in the image: then on
// standard error.
void AnnounceStretch();
void NoteDirectOutput();
int PendingStretchAnnouncements();

// Finishes what is still being put in place and its report lines, flushes
// the standard streams, and ends the process with `status`.
[[noreturn]] void ExitRun(int status);

}  // namespace corvane
