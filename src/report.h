// The one way Corvane talks to the user: formatted lines on standard error, and
// the single helper through which the run ends early. Every message is a literal
// format at its call site, so grepping a message finds the code that prints it.
#pragma once

namespace corvane {

// Writes one formatted message to standard error.
[[gnu::format(printf, 1, 2)]] void Report(const char* format, ...);

// -stretch says "[do_stretch] " once the run ends: on standard output, unless
// an image was written straight to a FIFO, terminal or standard output
// (NoteDirectOutput), where the line would land in the image: then on
// standard error.
void AnnounceStretch();
void NoteDirectOutput();
int PendingStretchAnnouncements();

// Flushes the standard streams and the directories of replaced files, and
// ends the process with `status`.
[[noreturn]] void ExitRun(int status);

}  // namespace corvane
