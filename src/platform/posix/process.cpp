// Process set-up and signals: the standard streams, the interrupting signals
// and the faults that remove every pending temporary file and say which files
// they left as they were before the process ends, the holds that keep them
// out of a step of any thread, the report written from any thread, and the
// command line (already expanded by the shell).
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

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

PendingName g_pending_names[kPendingSlots];
std::atomic<int> g_steps{0};
std::atomic<int> g_stopping{0};

int NotePending(int directory, const std::string& name) {
  static_assert(sizeof PendingName::name > sizeof ".corvane-XXXXXX");
  if (name.size() >= sizeof PendingName::name) return -1;
  for (int slot = 0; slot < kPendingSlots; ++slot) {
    PendingName& pending = g_pending_names[slot];
    int free = 0;
    if (!pending.state.compare_exchange_strong(free, 1)) continue;
    pending.directory = directory;
    std::memcpy(pending.name, name.c_str(), name.size() + 1);
    pending.state.store(2);
    return slot;
  }
  return -1;
}

void ForgetPending(int slot) {
  if (slot >= 0) g_pending_names[slot].state.store(0);
}

ScopedHold::ScopedHold() {
  const sigset_t set = InterruptSet();
  (void)pthread_sigmask(SIG_BLOCK, &set, &saved_);  // fails only for an invalid "how"
  g_steps.fetch_add(1);
  // A handler is removing the pending files and ending the run: this thread
  // must change nothing more, and waits for the end.
  while (g_stopping.load() != 0) {
    g_steps.fetch_sub(1);
    for (;;) pause();
  }
}

ScopedHold::~ScopedHold() {
  g_steps.fetch_sub(1);
  (void)pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

// One line an interrupting signal writes for a file under way: `line` until
// its copy is put in place, `after` from then on. Filled and emptied only
// inside a ScopedHold, like the pending names.
struct InterruptNote {
  std::atomic<int> state{0};   // 0 free, 1 being changed, 2 under way, 3 put in place
  unsigned long order = 0;     // when the file was started: the lines come in this order
  bool between_files = false;  // the run is at no file: said only when no file is under way
  char line[2048] = {};
  std::size_t line_length = 0;
  char after[2048] = {};
  std::size_t after_length = 0;
};
// The file the run is at, each copy waiting to be put in place, and room to spare.
constexpr int kNotes = kPendingSlots / 2;
InterruptNote g_notes[kNotes];
int g_current_note = -1;  // the note of the file the run is at (the main thread's alone)
unsigned long g_notes_made = 0;

void CommitInterruptNote(int note) {
  const int slot = note >= 0 ? note : g_current_note;
  if (slot >= 0 && g_notes[slot].after_length > 0) g_notes[slot].state.store(3);
}

}  // namespace posix

namespace {

using namespace posix;

// The faults of the program itself: they cannot be held, but they too remove
// a pending temporary file before the process ends.
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT, SIGSYS};

bool IsFault(int signal_number) {
  for (int fault : kFaults) {
    if (fault == signal_number) return true;
  }
  return false;
}

// Writes the line of every file under way, in the order they were started;
// the note between files only when there is none. In the handler.
void WriteInterruptNotes() {
  bool under_way = false;
  for (const InterruptNote& note : g_notes) under_way |= note.state.load() >= 2 && !note.between_files;
  for (unsigned long after = 0;;) {
    const InterruptNote* next = nullptr;
    for (const InterruptNote& note : g_notes) {
      if (note.state.load() < 2 || note.order <= after || (note.between_files && under_way)) continue;
      if (next == nullptr || note.order < next->order) next = &note;
    }
    if (next == nullptr) return;
    after = next->order;
    const bool placed = next->state.load() == 3;
    // Nothing more can be done when this fails: the process is ending.
    (void)write(STDERR_FILENO, placed ? next->after : next->line, placed ? next->after_length : next->line_length);
  }
}

void RemovePendingAndDie(int signal_number) {
  // An interrupt reaches only the main thread, outside its own steps; another
  // thread's step (naming a copy, exchanging names) ends before anything is
  // removed. A fault may come from inside a step of this very thread.
  g_stopping.store(1);
  while (!IsFault(signal_number) && g_steps.load() != 0) (void)sched_yield();
  // Nothing could be done about a failure here: the process is ending anyway.
  for (const PendingName& pending : g_pending_names) {
    if (pending.state.load() == 2) (void)unlinkat(pending.directory, pending.name, 0);
  }
  WriteInterruptNotes();
  (void)std::signal(signal_number, SIG_DFL);
  (void)std::raise(signal_number);  // held until the handler returns, then ends the process
}

}  // namespace

// The mask the run had before InterruptsHeld, restored after it (one at a time).
sigset_t g_mask_before_hold;

InterruptsHeld::InterruptsHeld() {
  const sigset_t set = InterruptSet();
  (void)pthread_sigmask(SIG_BLOCK, &set, &g_mask_before_hold);
}

InterruptsHeld::~InterruptsHeld() {
  (void)pthread_sigmask(SIG_SETMASK, &g_mask_before_hold, nullptr);  // a signal that came meanwhile ends the run now
}

void PrepareProcess() {
  // With a standard stream closed, the next file opened would take its number
  // and the report would be written into an image.
  // A closed standard output gets the reading end of a pipe, not /dev/null:
  // "-out /dev/stdout" then fails as on a closed descriptor, instead of
  // reporting OK for an image that went nowhere.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int ends[2];
    if (fd == STDOUT_FILENO && pipe(ends) == 0) {
      (void)close(ends[1]);  // a closed number 2 is filled on the next turn
      if (ends[0] != fd) std::_Exit(125);
    } else if (open("/dev/null", O_RDWR) != fd) {
      std::_Exit(125);
    }
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

// A line too long for its slot keeps its start, and ends in "..." and its line end.
std::size_t Fit(const std::string& text, char* into, std::size_t room) {
  const std::string fitted = text.size() <= room ? text : text.substr(0, room - 5) + "...\n";
  fitted.copy(into, fitted.size());  // a line of counted length, written as it is: no terminator
  return fitted.size();
}

}  // namespace

void SetInterruptNote(const std::string& line, const std::string& after_commit, bool between_files) {
  const ScopedHold hold;
  for (int slot = 0; g_current_note < 0 && slot < kNotes; ++slot) {
    int free = 0;
    if (g_notes[slot].state.compare_exchange_strong(free, 1)) g_current_note = slot;
  }
  if (g_current_note < 0) return;  // more files under way than notes: this one goes unsaid
  InterruptNote& note = g_notes[g_current_note];
  note.state.store(1);
  note.order = ++g_notes_made;
  note.between_files = between_files;
  note.line_length = Fit(line, note.line, sizeof note.line);
  note.after_length = Fit(after_commit, note.after, sizeof note.after);
  note.state.store(2);
}

int KeepInterruptNote() {
  const ScopedHold hold;
  return std::exchange(g_current_note, -1);
}

void WriteHeldReport(std::string_view text, int note) {
  const ScopedHold hold;
  WriteReport(text);
  if (note >= 0) g_notes[note].state.store(0);
}

void WriteReport(std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    // With 2>&1, standard output's non-blocking setting is standard error's too.
    if (written < 0 && WaitedForRoom(STDERR_FILENO)) continue;
    if (written <= 0) {
      // Another thread has the interrupts held for good: the main thread
      // takes the signal a write of its own would have raised.
      if (written < 0 && errno == EPIPE) (void)kill(getpid(), SIGPIPE);
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

std::vector<std::string> CommandLine(int argc, char** argv) {
  // The shell has expanded wildcards, and names are bytes already.
  return std::vector<std::string>(argv, argv + argc);
}

// A terminal window belongs to the shell, which stays open after the run.
bool InWindowOfItsOwn() { return false; }
void WaitForEnter(const char*) {}

}  // namespace corvane::os
