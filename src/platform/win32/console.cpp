// The console: its control events and the guard they need, the report's way
// to it (or to a file), and the wait for Enter in a visible window of our own.
// Windows runs the control handler on a thread of its own while the main
// thread goes on, so one lock covers every change to the pending temporary
// file and its name, which is kept in a fixed buffer that is never freed.
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "platform/win32/win32.h"

namespace corvane::os::win32 {
namespace {

SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_write_through_ended = CONDITION_VARIABLE_INIT;
bool g_stopping = false;     // a console event is being handled
int g_writing_through = -1;  // the descriptor being rewritten in place, or -1
constexpr std::size_t kLongestPath = 32768;
wchar_t g_pending[kLongestPath] = {};  // the temporary file to remove; empty for none

// Never freed: the handler may read them until the process ends.
std::string* g_interrupt_note = nullptr;
std::string* g_note_after_commit = nullptr;

bool g_wait_for_enter = false;

// Where the report goes: bytes as they are (a pipe, or not decided yet), a
// console (UTF-16, so that every code page shows every name), or a file
// (UTF-8 with CRLF, marked as UTF-8 at its start for Notepad and PowerShell).
enum class Sink { kBytes, kConsole, kFile };
Sink g_sink = Sink::kBytes;
bool g_mark_due = false;  // the file is empty: the byte-order mark comes first

class Lock {
 public:
  Lock() { AcquireSRWLockExclusive(&g_lock); }
  ~Lock() { ReleaseSRWLockExclusive(&g_lock); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

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

DWORD Guarded(const std::function<DWORD()>& change, const std::wstring* pending) {
  {
    Lock lock;
    if (!g_stopping) {
      const DWORD result = change();
      if (result == ERROR_SUCCESS && pending != nullptr) {
        const std::size_t length = pending->size() < kLongestPath ? pending->size() : kLongestPath - 1;
        std::wmemcpy(g_pending, pending->c_str(), length);
        g_pending[length] = L'\0';
      }
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
  if (g_pending[0] != L'\0') {
    // Nothing more can be done when this fails: the process is ending.
    (void)RetryWhileBusy(
        [] { return DeleteFileW(g_pending) || GetLastError() == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : GetLastError(); },
        kRetryAttempts, kRetryPauseMs);
    g_pending[0] = L'\0';
  }
  // Stopping an in-place write half way would leave a damaged image.
  while (g_writing_through >= 0) (void)SleepConditionVariableSRW(&g_write_through_ended, &g_lock, INFINITE, 0);
  // Written as the report is, so a console shows its name whole; nothing
  // more can be done when this fails: the process is ending.
  if (g_interrupt_note != nullptr && !g_interrupt_note->empty()) WriteReport(*g_interrupt_note);
  ReleaseSRWLockExclusive(&g_lock);
  (void)TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

void SetInterruptNote(const std::string& line, const std::string& after_commit) {
  Lock lock;
  if (g_interrupt_note == nullptr) g_interrupt_note = new std::string();
  if (g_note_after_commit == nullptr) g_note_after_commit = new std::string();
  *g_interrupt_note = line;
  *g_note_after_commit = after_commit;
}

void CommitInterruptNote() {
  if (g_interrupt_note != nullptr && g_note_after_commit != nullptr) *g_interrupt_note = *g_note_after_commit;
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
