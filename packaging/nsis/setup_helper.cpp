// The installer's helper, run from its temporary folder and never installed:
// puts the install folder on PATH and takes it off again through the registry
// API, which takes PATH at any length (an NSIS string ends at 1024
// characters), keeping every other byte of it; and tells whether a Send To
// shortcut starts a given program, so that one the user made is left alone.
//   setup_helper path-add HKCU|HKLM FOLDER RECORD_KEY     0 added, 1 named already
//   setup_helper path-remove HKCU|HKLM FOLDER RECORD_KEY  0 taken off, or not there
//   setup_helper shortcut-is LINK PROGRAM                 0 when LINK starts PROGRAM
// Exit status 2: PATH or the shortcut could not be read or written. What was
// appended is kept in RECORD_KEY (the uninstall key), so that the uninstaller
// takes off exactly that, and PATH itself when the install made it.
#include <windows.h>
#include <shlobj.h>

#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kDone = 0;
constexpr int kNotDone = 1;  // named already, or not the installer's shortcut
constexpr int kFailed = 2;

constexpr wchar_t kUserEnvironment[] = L"Environment";
constexpr wchar_t kMachineEnvironment[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

// An open registry key, closed when it goes away.
class Key {
 public:
  Key(HKEY root, const wchar_t* path) {
    if (RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_, nullptr) !=
        ERROR_SUCCESS) {
      key_ = nullptr;
    }
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A text value as stored (never expanded) and its type; REG_NONE when there is none.
struct Text {
  std::wstring text;
  DWORD type = REG_NONE;
};

bool Read(HKEY key, const wchar_t* name, Text* value) {
  DWORD bytes = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &value->type, nullptr, &bytes);
  while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    value->text.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value->text.size() * sizeof(wchar_t));
    status = RegQueryValueExW(key, name, nullptr, &value->type, reinterpret_cast<BYTE*>(value->text.data()), &bytes);
    if (status == ERROR_SUCCESS) {
      value->text.resize(bytes / sizeof(wchar_t));
      while (!value->text.empty() && value->text.back() == L'\0') value->text.pop_back();
      return value->type == REG_SZ || value->type == REG_EXPAND_SZ;
    }
  }
  value->type = REG_NONE;
  return status == ERROR_FILE_NOT_FOUND;
}

bool Write(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type) {
  const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes) == ERROR_SUCCESS;
}

// Tells running programs (Explorer, so the next Command Prompt) that PATH changed.
void Announce() {
  (void)SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                            SMTO_ABORTIFHUNG, 5000, nullptr);
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  while (a.ends_with(L'\\')) a.remove_suffix(1);
  while (b.ends_with(L'\\')) b.remove_suffix(1);
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Whether a PATH entry names `folder`: in any letter case, with or without a
// closing backslash, written out or with variables such as %LOCALAPPDATA%.
bool Names(const std::wstring& entry, const std::wstring& folder) {
  if (SameName(entry, folder)) return true;
  std::wstring expanded(32768, L'\0');
  const DWORD length = ExpandEnvironmentStringsW(entry.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
  return length > 0 && length <= expanded.size() && SameName(std::wstring_view(expanded.data(), length - 1), folder);
}

// The entries of PATH, empty ones included, so that joining them gives it back.
std::vector<std::wstring> Entries(const std::wstring& path) {
  std::vector<std::wstring> entries;
  std::size_t start = 0;
  for (std::size_t end; (end = path.find(L';', start)) != std::wstring::npos; start = end + 1) {
    entries.push_back(path.substr(start, end - start));
  }
  entries.push_back(path.substr(start));
  return entries;
}

HKEY Root(std::wstring_view name) { return name == L"HKLM" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }
const wchar_t* EnvironmentOf(HKEY root) { return root == HKEY_LOCAL_MACHINE ? kMachineEnvironment : kUserEnvironment; }

// Appends `folder` to PATH unless an entry names it (then PATH and the record
// stay as they are: an upgrade keeps what the first install appended).
int AddToPath(HKEY root, const std::wstring& folder, const wchar_t* record_key) {
  const Key environment(root, EnvironmentOf(root));
  const Key record(root, record_key);
  Text path;
  if (environment.get() == nullptr || record.get() == nullptr || !Read(environment.get(), L"Path", &path)) {
    return kFailed;
  }
  for (const std::wstring& entry : Entries(path.text)) {
    if (Names(entry, folder)) return kNotDone;
  }
  const std::wstring appended = path.text.empty() || path.text.ends_with(L';') ? folder : L";" + folder;
  const DWORD type = path.type == REG_SZ ? REG_SZ : REG_EXPAND_SZ;
  if (!Write(environment.get(), L"Path", path.text + appended, type) ||
      !Write(record.get(), L"PathAppended", appended, REG_SZ) ||
      !Write(record.get(), L"PathCreated", path.type == REG_NONE ? L"1" : L"0", REG_SZ)) {
    return kFailed;
  }
  Announce();
  return kDone;
}

// Takes off what the install appended: the very text when PATH still ends
// with it, else every entry naming `folder`; PATH itself when the install
// made it and nothing else is left.
int RemoveFromPath(HKEY root, const std::wstring& folder, const wchar_t* record_key) {
  const Key environment(root, EnvironmentOf(root));
  const Key record(root, record_key);
  Text appended;
  Text created;
  Text path;
  if (environment.get() == nullptr || record.get() == nullptr || !Read(record.get(), L"PathAppended", &appended) ||
      !Read(record.get(), L"PathCreated", &created) || !Read(environment.get(), L"Path", &path)) {
    return kFailed;
  }
  if (appended.text.empty() || path.type == REG_NONE) return kDone;  // nothing of the install's is there
  std::wstring kept;
  if (path.text.ends_with(appended.text)) {
    kept = path.text.substr(0, path.text.size() - appended.text.size());
  } else {
    bool first = true;  // every other entry, empty ones too, joined as they were
    for (const std::wstring& entry : Entries(path.text)) {
      if (Names(entry, folder)) continue;
      kept += (first ? L"" : L";") + entry;
      first = false;
    }
  }
  if (kept == path.text) return kDone;
  const bool removed = kept.empty() && created.text == L"1"
                           ? RegDeleteValueW(environment.get(), L"Path") == ERROR_SUCCESS
                           : Write(environment.get(), L"Path", kept, path.type);
  if (!removed) return kFailed;
  Announce();
  return kDone;
}

// Whether the shortcut `link` starts `program`.
int ShortcutStarts(const wchar_t* link, const wchar_t* program) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return kFailed;
  IShellLinkW* shortcut = nullptr;
  IPersistFile* file = nullptr;
  wchar_t target[32768] = {};
  const bool read = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                               reinterpret_cast<void**>(&shortcut))) &&
                    SUCCEEDED(shortcut->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
                    SUCCEEDED(file->Load(link, STGM_READ)) &&
                    SUCCEEDED(shortcut->GetPath(target, static_cast<int>(std::size(target)), nullptr, SLGP_RAWPATH));
  if (file != nullptr) file->Release();
  if (shortcut != nullptr) shortcut->Release();
  CoUninitialize();
  if (!read) return kFailed;
  return SameName(target, program) ? kDone : kNotDone;
}

int Run(const std::vector<std::wstring>& words) {
  if (words.size() == 5 && words[1] == L"path-add") return AddToPath(Root(words[2]), words[3], words[4].c_str());
  if (words.size() == 5 && words[1] == L"path-remove") {
    return RemoveFromPath(Root(words[2]), words[3], words[4].c_str());
  }
  if (words.size() == 4 && words[1] == L"shortcut-is") return ShortcutStarts(words[2].c_str(), words[3].c_str());
  return kFailed;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return kFailed;
  const std::vector<std::wstring> words(arguments, arguments + count);
  LocalFree(arguments);
  return Run(words);
}
