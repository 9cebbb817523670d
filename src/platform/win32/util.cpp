// Windows helpers that touch no file: splitting the command line, matching
// its wildcards against long names, the name of a temporary file, the folder and long-path forms of a full path, the rule for
// retrying a file another program holds for a moment, the decision to wait
// for Enter in a window of our own, and the system's text for an error.
#include "platform/win32/win32.h"

#include <cwctype>

namespace corvane::os::win32 {
namespace {

// The length, in UTF-16 units, of the character at `at`.
std::size_t CharacterLength(std::wstring_view text, std::size_t at) {
  const bool pair = at + 1 < text.size() && IS_HIGH_SURROGATE(text[at]) && IS_LOW_SURROGATE(text[at + 1]);
  return pair ? 2 : 1;
}

// Equal the way file names on Windows are: ordinal, ignoring case.
bool SameLetter(wchar_t a, wchar_t b) {
  return a == b || CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  std::vector<std::wstring> words;
  std::wstring word;
  bool in_word = false;  // a word has begun, even an empty quoted one
  bool quoted = false;
  std::size_t backslashes = 0;
  for (const wchar_t c : line) {
    if (c == L'\\') {
      ++backslashes;
      in_word = true;
      continue;
    }
    const bool before_quote = c == L'"';
    word.append(before_quote ? (backslashes + 1) / 2 : backslashes, L'\\');
    backslashes = 0;
    if (before_quote) {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == L' ' || c == L'\t')) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  word.append(backslashes, L'\\');
  if (in_word) words.push_back(word);
  return words;
}

bool IsTemporaryName(std::wstring_view name) {
  constexpr std::wstring_view kPrefix = L".corvane-";
  if (name.size() != kPrefix.size() + 6 || !name.starts_with(kPrefix)) return false;
  for (const wchar_t c : name.substr(kPrefix.size())) {
    if (!((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9'))) return false;
  }
  return true;
}

bool MatchesWildcard(std::wstring_view pattern, std::wstring_view name) {
  // As in a POSIX shell, wildcards never take the dot of a name that starts with one.
  if (name.starts_with(L'.') && !pattern.starts_with(L'.')) return false;
  constexpr std::size_t kNone = std::wstring_view::npos;
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t after_star = kNone;  // where the pattern goes on after the latest '*'
  std::size_t star_took = 0;       // the end of what that '*' has taken of the name
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      after_star = ++p;
      star_took = n;
    } else if (p < pattern.size() && pattern[p] == L'?') {
      ++p;
      n += CharacterLength(name, n);
    } else if (p < pattern.size() && SameLetter(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (after_star != kNone) {
      star_took += CharacterLength(name, star_took);  // the '*' takes one more character
      n = star_took;
      p = after_star;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

std::size_t LastComponentStart(std::wstring_view word) {
  const std::size_t separator = word.find_last_of(L"\\/");
  std::size_t start = separator == std::wstring_view::npos ? 0 : separator + 1;
  if (start < 2 && word.size() >= 2 && word[1] == L':') start = 2;
  return start;
}

std::wstring FolderOf(std::wstring_view full_path) {
  const std::size_t separator = full_path.rfind(L'\\');
  if (separator == std::wstring_view::npos) return std::wstring();
  return std::wstring(full_path.substr(0, separator + 1));
}

std::wstring VerbatimForm(std::wstring_view full_path) {
  if (full_path.starts_with(L"\\\\?\\") || full_path.starts_with(L"\\\\.\\")) return std::wstring(full_path);
  if (full_path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + std::wstring(full_path.substr(2));
  return L"\\\\?\\" + std::wstring(full_path);
}

bool IsBusy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

DWORD RetryWhileBusy(const std::function<DWORD()>& attempt, int attempts, DWORD pause_ms) {
  DWORD result = attempt();
  for (int done = 1; done < attempts && IsBusy(result); ++done) {
    Sleep(pause_ms);
    result = attempt();
  }
  return result;
}

bool ShouldWaitForEnter(DWORD console_processes, bool stderr_is_console, bool window_visible) {
  // A Command Prompt or PowerShell shares its console, so it counts too.
  return console_processes == 1 && stderr_is_console && window_visible;
}

std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring_view message(text, text != nullptr ? length : 0);
  while (!message.empty() && (message.back() == L'.' || std::iswspace(message.back()) != 0)) {
    message.remove_suffix(1);
  }
  std::string result = message.empty() ? "system error " + std::to_string(error) : Narrow(message);
  if (text != nullptr) LocalFree(text);
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_UNABLE_TO_REMOVE_REPLACED) {
    result += " (the file is open in another program; close it and try again)";
  } else if (error == ERROR_ACCESS_DENIED) {
    result += " (the file may be read-only, or open in another program)";
  } else if (error == ERROR_FILE_READ_ONLY) {
    result += " (its Read-only attribute is set: clear it in the file's Properties)";
  }
  return result;
}

std::wstring Wide(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
  return narrow;
}

}  // namespace corvane::os::win32
