// Windows-only pieces of the platform layer, shared by its files and by the
// Windows unit tests: helpers that touch no file (the command-line split,
// wildcard matching, path forms, the retry rule, the console-window decision,
// error text), the path forms and handles every file of the layer uses, and
// the guard that keeps a console event from leaving a temporary file behind
// or cutting an in-place write short.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.h"

namespace corvane::os::win32 {

// The words of a command line as Windows programs write them, with one
// difference from the C runtime's rules: a quote is never part of a word
// (no file name can hold one), so backslashes before a quote are halved,
// rounding up, and the quote always opens or closes quoting. "My Night\"
// (Explorer and tab completion end a quoted folder so) is then the folder
// My Night\ rather than a name ending in a quote, and "C:\a\\" (as
// programs that escape for the C runtime write it) is C:\a\ too.
std::vector<std::wstring> SplitCommandLine(std::wstring_view line);

// Whether `name` matches the command-line pattern `pattern`: '*' stands for
// any run of characters, '?' for exactly one, and every other character for
// itself in either case. As in a POSIX shell, a name starting with a dot
// (such as a temporary file left behind) needs a pattern starting with one.
// Only long names are ever given to it.
bool MatchesWildcard(std::wstring_view pattern, std::wstring_view name);

// Where the last component of a command-line word starts: after its last
// '\' or '/', or after the ':' of a drive ("D:*.fit"); 0 when it has none.
std::size_t LastComponentStart(std::wstring_view word);

// The folder of a full path with its trailing separator ("C:\a\b.fit" gives
// "C:\a\", "\\?\D:\b.fit" gives "\\?\D:\"); empty when there is no '\'.
std::wstring FolderOf(std::wstring_view full_path);

// The "\\?\" form of a full path, which the system takes at any length:
// "C:\a" becomes "\\?\C:\a" and "\\srv\share\a" "\\?\UNC\srv\share\a"; a path
// already in that form is returned unchanged.
std::wstring VerbatimForm(std::wstring_view full_path);

// The errors of a file that another program (a viewer, an indexer, a virus
// scanner) holds for a moment: sharing violation, access denied, lock
// violation, and ReplaceFileW's "the replaced file could not be removed".
bool IsBusy(DWORD error);

// Calls `attempt`, which returns ERROR_SUCCESS or the error of its failure,
// up to `attempts` times while it fails with a busy error, pausing `pause_ms`
// between calls. Returns the last result.
DWORD RetryWhileBusy(const std::function<DWORD()>& attempt, int attempts, DWORD pause_ms);

// Retries at most this long in all, in steps of kRetryPauseMs.
constexpr int kRetryAttempts = 30;
constexpr DWORD kRetryPauseMs = 100;

// Whether the program runs in a console window of its own (a double-click in
// Explorer or files dropped on it) and shows its report there, so that it
// must wait for Enter before the window closes. A console without a visible
// window (a program started with CREATE_NO_WINDOW, by a scheduled task or a
// script) has nobody to press Enter.
bool ShouldWaitForEnter(DWORD console_processes, bool stderr_is_console, bool window_visible);

// The system's text for an error, in UTF-8, with a hint where one helps.
std::string ErrorText(DWORD error);

// Whether `name` has the form of Corvane's temporary files: ".corvane-" and
// six letters or digits.
bool IsTemporaryName(std::wstring_view name);

// UTF-8 and UTF-16 conversions.
std::wstring Wide(std::string_view text);
std::string Narrow(std::wstring_view text);

// Path forms and handles (paths.cpp). ERROR_SUCCESS, or the error of a call
// that failed; whether a path is in the "\\?\" or "\\.\" form; whether it is
// a bare drive; its full path; its full path in long names, as given when it
// cannot be resolved (so a file named by its 8.3 short name keeps its long
// name when it is replaced); the form of it to hand to the system; a
// descriptor over a handle that lets the file be renamed while open; a file's
// size, index on its volume and last write time; the handle of a descriptor.
DWORD Outcome(BOOL succeeded);
bool IsVerbatim(std::wstring_view path);
bool IsBareDrive(std::wstring_view path);
std::wstring FullPath(const std::wstring& path);
std::string LongName(const std::string& path);
std::wstring SystemPath(std::wstring path);
std::wstring SystemPath(const std::string& path);
int OpenShared(const std::wstring& path, DWORD access, DWORD disposition, DWORD attributes, int flags);
std::int64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info);
std::uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION& info);
std::int64_t WrittenAt(const BY_HANDLE_FILE_INFORMATION& info);
HANDLE HandleOf(const File& file);

// The guard. Every change to a pending temporary file (creating, replacing
// the image with it, removing it) runs through Guarded, from whichever
// thread; when the change succeeds it also notes `name` as one a console
// event must remove (`pending`) or as gone. After an event the run stops:
// Guarded makes no more changes and holds the calling thread until the
// process ends.
DWORD Guarded(const std::function<DWORD()>& change, const std::wstring& name, bool pending);
// An in-place write through the image's own descriptor begins (a console
// event then waits for its end) and ends.
void BeginWriteThrough(int descriptor);
void EndWriteThrough(int descriptor);
// Handles Ctrl-C, Ctrl-Break, closing the window, logging off and shutting
// down: removes every pending temporary file, waits for an in-place write to
// end and ends the process with STATUS_CONTROL_C_EXIT.
BOOL WINAPI OnConsoleEvent(DWORD event);
// The lines written to standard error when a console event ends the run (see
// os::SetInterruptNote), kept under the guard's lock; a note's second line
// takes its place through CommitInterruptNote, which a change run by Guarded
// calls (the lock is held then) once the replacement is in place.
void SetInterruptNote(const std::string& line, const std::string& after_commit, bool between_files);
int KeepInterruptNote();
void CommitInterruptNote(int note);
void WriteHeldReport(std::string_view text, int note);
// Sets the console up for a run: the handler above, the report's way out
// (see WriteReport), and, in a window of its own, a wait for Enter at the end.
void PrepareConsole();

}  // namespace corvane::os::win32
