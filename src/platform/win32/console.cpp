// The console: its control events and the guard they need, the report's way
// to it (or to a file), and the wait for Enter in a visible window of our own.
// Windows runs the control handler on a thread of its own while the run's
// threads go on, so one lock covers every change to the pending temporary
// files and their names, which are kept in a list that is never freed.
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/win32.h"

namespace corvane::os::win32 {
namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_write_through_ended = CONDITION_VARIABLE_INIT;
bool g_stopping = false;     // a console event is being handled
int g_writing_through = -1;  // the descriptor being rewritten in place, or -1
// The temporary files to remove: copies not marked for removal (a file
// system that cannot mark them) and copies between being unmarked and
// replacing their image. Never freed: the handler may read it as the process ends.
std::vector<std::wstring>& Pending() {
  static auto* const names = new std::vector<std::wstring>;
  return *names;
}

// The lines a console event writes: one for each file under way, `line`
// until its copy replaced the image, `after` from then on. Never freed: the
// handler may read them until the process ends.
struct Note {
  bool used = false;
  bool placed = false;
  bool between_files = false;  // the run is at no file: said only when no file is under way
  unsigned long order = 0;     // when the file was started: the lines come in this order
  std::string line;
  std::string after;
};
std::vector<Note>& Notes() {
  static auto* const notes = new std::vector<Note>;
  return *notes;
}
int g_current_note = -1;  // the note of the file the run is at
unsigned long g_notes_made = 0;

bool g_wait_for_enter = false;

// Where the report goes: bytes as they are (a pipe, or not decided yet), a
// console (UTF-16, so that every code page shows every name), or a file
// (UTF-8 with CRLF, marked as UTF-8 at its start for Notepad and PowerShell).
enum class Sink { kBytes, kConsole, kFile };
Sink g_sink = Sink::kBytes;
bool g_mark_due = false;  // the file is empty: the byte-order mark comes first
SRWLOCK g_report_lock = SRWLOCK_INIT;  // so that lines of two threads never mix

class Lock {
 public:
  Lock() { AcquireSRWLockExclusive(&g_lock); }
  ~Lock() { ReleaseSRWLockExclusive(&g_lock); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

// Writes the line of every file under way, in the order they were started;
// the note between files only when there is none. With the lock held.
void WriteNotes() {
  std::vector<const Note*> said;
  for (const Note& note : Notes()) {
    if (note.used) said.push_back(&note);
  }
  std::sort(said.begin(), said.end(), [](const Note* a, const Note* b) { return a->order < b->order; });
  const bool under_way = std::any_of(said.begin(), said.end(), [](const Note* note) { return !note->between_files; });
  for (const Note* note : said) {
    if (note->between_files && under_way) continue;
    // Written as the report is, so a console shows its name whole; nothing
    // more can be done when this fails: the process is ending.
    WriteReport(note->placed ? note->after : note->line);
  }
}

// Once a console event is being handled the main thread changes nothing more
// and waits here, without the lock, for the handler to end the process.
[[noreturn]] void WaitForTheEnd() {
  for (;;) Sleep(INFINITE);
}

void AtExit() { WaitForEnter("\nPress Enter to close this window."); }

void ChooseSink() {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode) != 0) {
    g_sink = Sink::kConsole;
  } else if (GetFileType(error) == FILE_TYPE_DISK) {
    g_sink = Sink::kFile;
    LARGE_INTEGER at{};
    g_mark_due = SetFilePointerEx(error, LARGE_INTEGER{}, &at, FILE_CURRENT) != 0 && at.QuadPart == 0;
  }
}

void WriteBytes(std::string_view bytes) {
  while (!bytes.empty()) {
    const int written = _write(2, bytes.data(), static_cast<unsigned>(bytes.size()));
    if (written <= 0) return;  // a report that cannot be written has nowhere to go
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Whether someone can see the console: it has a window (CREATE_NO_WINDOW
// gives none), on the interactive desktop (a scheduled task that runs while
// nobody is logged on has it on a hidden one), and that window is shown or
// was not started hidden (Windows Terminal keeps the console's own window
// hidden and draws it in a tab of its own).
bool ConsoleIsSeen() {
  const HWND window = GetConsoleWindow();
  if (window == nullptr) return false;
  USEROBJECTFLAGS station{};
  if (GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &station, sizeof station, nullptr) &&
      (station.dwFlags & WSF_VISIBLE) == 0) {
    return false;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  const bool started_hidden = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
  return IsWindowVisible(window) != 0 || !started_hidden;
}

}  // namespace

DWORD Guarded(const std::function<DWORD()>& change, const std::wstring& name, bool pending) {
  {
    Lock lock;
    if (!g_stopping) {
      const DWORD result = change();
      if (result != ERROR_SUCCESS || name.empty()) return result;
      std::vector<std::wstring>& names = Pending();
      const auto found = std::find(names.begin(), names.end(), name);
      if (pending && found == names.end()) names.push_back(name);
      if (!pending && found != names.end()) names.erase(found);
      return result;
    }
  }
  WaitForTheEnd();
}

void BeginWriteThrough(int descriptor) {
  {
    Lock lock;
    if (!g_stopping) {
      g_writing_through = descriptor;
      return;
    }
  }
  WaitForTheEnd();
}

void EndWriteThrough(int descriptor) {
  Lock lock;
  if (descriptor >= 0 && descriptor == g_writing_through) {
    g_writing_through = -1;
    WakeAllConditionVariable(&g_write_through_ended);
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
      event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
    return FALSE;
  }
  AcquireSRWLockExclusive(&g_lock);
  g_stopping = true;
  for (const std::wstring& name : Pending()) {
    // Nothing more can be done when this fails: the process is ending.
    (void)RetryWhileBusy(
        [&name] {
          return DeleteFileW(name.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : GetLastError();
        },
        kRetryAttempts, kRetryPauseMs);
  }
  Pending().clear();
  // Stopping an in-place write half way would leave a damaged image.
  while (g_writing_through >= 0) (void)SleepConditionVariableSRW(&g_write_through_ended, &g_lock, INFINITE, 0);
  WriteNotes();
  ReleaseSRWLockExclusive(&g_lock);
  (void)TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

void SetInterruptNote(const std::string& line, const std::string& after_commit, bool between_files) {
  Lock lock;
  std::vector<Note>& notes = Notes();
  if (g_current_note < 0) {
    const auto free = std::find_if(notes.begin(), notes.end(), [](const Note& note) { return !note.used; });
    g_current_note = static_cast<int>(free - notes.begin());
    if (free == notes.end()) notes.emplace_back();
  }
  notes[static_cast<std::size_t>(g_current_note)] = Note{true, false, between_files, ++g_notes_made, line, after_commit};
}

int KeepInterruptNote() {
  Lock lock;
  return std::exchange(g_current_note, -1);
}

void CommitInterruptNote(int note) {
  const int index = note >= 0 ? note : g_current_note;
  if (index < 0) return;
  Note& committed = Notes()[static_cast<std::size_t>(index)];
  if (!committed.after.empty()) committed.placed = true;
}

void WriteHeldReport(std::string_view text, int note) {
  {
    Lock lock;
    if (!g_stopping) {
      WriteReport(text);  // a console event writes its notes under the same lock
      if (note >= 0) Notes()[static_cast<std::size_t>(note)].used = false;
      return;
    }
  }
  WaitForTheEnd();
}

void PrepareConsole() {
  (void)SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  ChooseSink();
  DWORD processes[4];
  DWORD mode = 0;
  const bool stderr_is_console = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  g_wait_for_enter = ShouldWaitForEnter(GetConsoleProcessList(processes, 4), stderr_is_console, ConsoleIsSeen());
  (void)std::atexit(AtExit);
}

}  // namespace corvane::os::win32

namespace corvane::os {

void WriteReport(std::string_view text) {
  using win32::Sink;
  AcquireSRWLockExclusive(&win32::g_report_lock);
  if (win32::g_sink == Sink::kConsole) {
    const std::wstring wide = win32::Wide(text);
    DWORD written = 0;
    (void)WriteConsoleW(GetStdHandle(STD_ERROR_HANDLE), wide.data(), static_cast<DWORD>(wide.size()), &written,
                        nullptr);
  } else if (win32::g_sink == Sink::kFile) {
    std::string lines = win32::g_mark_due ? "\xEF\xBB\xBF" : "";
    win32::g_mark_due = false;
    for (const char c : text) lines += c == '\n' ? std::string_view("\r\n") : std::string_view(&c, 1);
    win32::WriteBytes(lines);
  } else {
    win32::WriteBytes(text);
  }
  ReleaseSRWLockExclusive(&win32::g_report_lock);
}

bool InWindowOfItsOwn() { return win32::g_wait_for_enter; }

void WaitForEnter(const char* prompt) {
  if (!win32::g_wait_for_enter) return;
  (void)std::fputs(prompt, stderr);
  (void)std::fflush(stderr);
  int c = 0;
  while (c != '\n' && c != EOF) c = std::getchar();
}

}  // namespace corvane::os
