// Process set-up on Windows: binary standard streams and the console, the
// interrupts (a console event lets a write through the image finish), the
// report written from any thread, and the command line read whole in
// UTF-16, with wildcards expanded here since no shell does it.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "platform/os.h"
#include "platform/win32/win32.h"

namespace corvane::os {

using namespace win32;

namespace {

// The words of the command line whose last component holds '*' or '?' become
// the long names that match, sorted, folder part as typed; a word that matches
// nothing stays as it is, as in a POSIX shell.
void Expand(const std::wstring& word, std::vector<std::string>* words) {
  const std::size_t start = win32::LastComponentStart(word);
  const std::wstring_view pattern = std::wstring_view(word).substr(start);
  const std::wstring folder = word.substr(0, start);
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE listing = pattern.find_first_of(L"*?") == std::wstring_view::npos
                       ? INVALID_HANDLE_VALUE
                       : FindFirstFileW(SystemPath(folder + L"*").c_str(), &entry);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring_view name = entry.cFileName;
      if (name != L"." && name != L".." && win32::MatchesWildcard(pattern, name)) names.emplace_back(name);
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
  }
  if (names.empty()) {
    words->push_back(Narrow(word));
    return;
  }
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_LESS_THAN;
  });
  for (const std::wstring& name : names) words->push_back(Narrow(folder + name));
}

}  // namespace

// A console event lets a write through the image finish (see Target::Reserve).
InterruptsHeld::InterruptsHeld() = default;
InterruptsHeld::~InterruptsHeld() = default;

void PrepareProcess() {
  // Reports are bytes, as on other systems: no line-end translation.
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  win32::PrepareConsole();
}

void SetInterruptNote(const std::string& line, const std::string& after_commit, bool between_files) {
  win32::SetInterruptNote(line, after_commit, between_files);
}

int KeepInterruptNote() { return win32::KeepInterruptNote(); }

void WriteHeldReport(std::string_view text, int note) { win32::WriteHeldReport(text, note); }

std::vector<std::string> CommandLine(int argc, char** argv) {
  // No shell expands wildcards here, and argv holds names in the ANSI code
  // page; the wide command line has every name whole.
  const wchar_t* line = GetCommandLineW();
  if (line == nullptr) return std::vector<std::string>(argv, argv + argc);
  const std::vector<std::wstring> wide = win32::SplitCommandLine(line);
  std::vector<std::string> words;
  words.reserve(wide.size());
  if (!wide.empty()) words.push_back(Narrow(wide[0]));
  for (std::size_t i = 1; i < wide.size(); ++i) {
    const std::wstring& word = wide[i];
    // "D:" alone means the current folder of drive D; "D:." keeps that
    // meaning once the folder scan has cut separators from "D:\".
    if (IsBareDrive(word) && !IsVerbatim(word)) {
      words.push_back(Narrow(word) + ".");
    } else {
      Expand(word, &words);
    }
  }
  return words;
}

}  // namespace corvane::os
