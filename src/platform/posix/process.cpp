// Process set-up and signals: the standard streams, the interrupting signals
// and the faults that remove a pending temporary file and flush an unflushed
// folder before the process ends, the holds that keep them out of a step,
// the command line (already expanded by the shell), and the report's way out.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/os.h"
#include "platform/posix/posix.h"

namespace corvane::os {
namespace posix {

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ, SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM,
                            SIGVTALRM, SIGPROF}) {
    sigaddset(&set, signal_number);
  }
#ifdef SIGPWR
  sigaddset(&set, SIGPWR);
#endif
#ifdef SIGPOLL
  sigaddset(&set, SIGPOLL);
#endif
#ifdef SIGSTKFLT
  sigaddset(&set, SIGSTKFLT);
#endif
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) sigaddset(&set, signal_number);
#endif
  return set;
}

volatile std::sig_atomic_t g_pending = 0;
int g_pending_directory = -1;
char g_pending_name[32];
volatile int g_unflushed_descriptor = -1;
char g_interrupt_note[4096];
volatile std::sig_atomic_t g_interrupt_note_length = 0;

namespace {

std::string g_note_after_commit;  // only the run touches it, never the handler

}  // namespace

void CommitInterruptNote() {
  std::copy(g_note_after_commit.begin(), g_note_after_commit.end(), g_interrupt_note);  // a line, no terminator
  g_interrupt_note_length = static_cast<std::sig_atomic_t>(g_note_after_commit.size());
}

}  // namespace posix

namespace {

using namespace posix;

// The faults of the program itself: they cannot be held, but they too remove
// a pending temporary file before the process ends.
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS};

void RemovePendingAndDie(int signal_number) {
  // Nothing could be done about a failure here: the process is ending anyway.
  if (g_pending != 0) (void)unlinkat(g_pending_directory, g_pending_name, 0);
  if (g_unflushed_descriptor >= 0) (void)fsync(g_unflushed_descriptor);
  if (g_interrupt_note_length > 0) {
    (void)write(STDERR_FILENO, g_interrupt_note, static_cast<std::size_t>(g_interrupt_note_length));
  }
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);  // held until the handler returns, then ends the process
}

}  // namespace

// The mask the run had before InterruptsHeld, restored after it (one at a time).
sigset_t g_mask_before_hold;

InterruptsHeld::InterruptsHeld() {
  const sigset_t set = InterruptSet();
  (void)sigprocmask(SIG_BLOCK, &set, &g_mask_before_hold);
}

InterruptsHeld::~InterruptsHeld() {
  (void)sigprocmask(SIG_SETMASK, &g_mask_before_hold, nullptr);  // a signal that came meanwhile ends the run now
}

void PrepareProcess() {
  // With a standard stream closed, the next file opened would take its number
  // and the report would be written into an image.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) std::_Exit(125);
  }
  struct sigaction action {};
  action.sa_handler = RemovePendingAndDie;
  action.sa_mask = InterruptSet();
  const auto handle = [&action](int signal_number) {
    struct sigaction before {};
    if (sigaction(signal_number, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) return;
    (void)sigaction(signal_number, &action, nullptr);  // fails only for numbers it cannot catch
  };
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (sigismember(&action.sa_mask, signal_number) == 1) handle(signal_number);
  }
  for (int signal_number : kFaults) handle(signal_number);
}

namespace {

// A name too long for the buffer keeps its start and the line its end.
std::string Fitting(const std::string& line) {
  constexpr std::size_t kRoom = sizeof g_interrupt_note;
  return line.size() <= kRoom ? line : line.substr(0, kRoom - 5) + "...\n";
}

}  // namespace

void SetInterruptNote(const std::string& line, const std::string& after_commit) {
  const std::string text = Fitting(line);
  const ScopedHold hold;
  g_note_after_commit = Fitting(after_commit);
  std::copy(text.begin(), text.end(), g_interrupt_note);
  g_interrupt_note_length = static_cast<std::sig_atomic_t>(text.size());
}

std::vector<std::string> CommandLine(int argc, char** argv) {
  // The shell has expanded wildcards, and names are bytes already.
  return std::vector<std::string>(argv, argv + argc);
}

// A terminal takes UTF-8 and line ends as they are; standard error is
// unbuffered, so the text leaves in one write.
void WriteReport(std::string_view text) {
  (void)std::fwrite(text.data(), 1, text.size(), stderr);  // a report that cannot be written has nowhere to go
}

// A terminal window belongs to the shell, which stays open after the run.
bool InWindowOfItsOwn() { return false; }
void WaitForEnter(const char*) {}

}  // namespace corvane::os
