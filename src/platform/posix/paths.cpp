// Names and status: the folder and name parts of a path, the status of what
// a path names, whether it exists or can be read, whether two paths or
// standard output name one file, and the listing of a folder.
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/os.h"
#include "platform/posix/posix.h"

namespace corvane::os {
namespace posix {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? "." : name;
}

namespace {

// Whether the folder finds a file under `name` with the case of its ASCII
// letters swapped, as one that ignores case does. A name without such
// letters cannot tell.
bool SwappedCaseExists(int folder, const std::string& name) {
  std::string swapped = name;
  for (char& c : swapped) {
    if (std::isalpha(static_cast<unsigned char>(c)) != 0) c = static_cast<char>(c ^ 0x20);
  }
  struct stat other {};
  return swapped != name && fstatat(folder, swapped.c_str(), &other, AT_SYMLINK_NOFOLLOW) == 0;
}

// The character that starts at `text` and its length in bytes; a byte that
// starts no UTF-8 sequence stands for itself.
std::pair<wint_t, int> Decode(const unsigned char* text) {
  const int length = text[0] < 0xC0 ? 1 : text[0] < 0xE0 ? 2 : text[0] < 0xF0 ? 3 : text[0] < 0xF8 ? 4 : 1;
  wint_t c = length == 1 ? text[0] : text[0] & (0x7Fu >> length);
  for (int k = 1; k < length; ++k) {
    if ((text[k] & 0xC0) != 0x80) return {text[0], 1};
    c = c << 6 | (text[k] & 0x3Fu);
  }
  return {c, length};
}

// The upper case of a character, accented and other non-ASCII letters
// included where the C library knows them (exFAT and NTFS ignore their case too).
wint_t Upper(wint_t c) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (unicode != static_cast<locale_t>(nullptr)) return towupper_l(c, unicode);
  return c < 0x80 ? static_cast<wint_t>(std::toupper(static_cast<int>(c))) : c;
}

// Whether two names differ in the case of their letters only.
bool SameButCase(const std::string& first, const std::string& second) {
  const auto* a = reinterpret_cast<const unsigned char*>(first.c_str());
  const auto* b = reinterpret_cast<const unsigned char*>(second.c_str());
  while (*a != 0 && *b != 0) {
    const auto [one, one_length] = Decode(a);
    const auto [two, two_length] = Decode(b);
    if (Upper(one) != Upper(two)) return false;
    a += one_length;
    b += two_length;
  }
  return *a == *b;
}

// The name `folder` lists for the file `name` finds there: `name` when an
// entry has it exactly, else the one entry that differs from it in case only.
std::string ListedName(int folder, const std::string& name) {
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return name;  // a folder that cannot be listed keeps the name as given
  }
  // Inode numbers cannot tell: a FUSE filesystem may number each name apart.
  std::string stored = name;
  int others = 0;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name == name) {
      others = 0;
      break;
    }
    if (SameButCase(entry->d_name, name) && ++others == 1) stored = entry->d_name;
  }
  closedir(listing);
  return others == 1 ? stored : name;
}

// The path of the file `path` names as its folders store it: every link
// resolved, and every component spelt as listed. Empty when it cannot be found.
std::string StoredPath(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return std::string();
  const std::string resolved = real;
  std::free(real);
  std::string stored;
  File folder(open("/", kFolderFlags));
  std::size_t at = 1;
  while (at < resolved.size() && folder.IsOpen()) {
    const std::size_t end = std::min(resolved.find('/', at), resolved.size());
    const std::string name = ListedName(folder.Descriptor(), resolved.substr(at, end - at));
    stored.append("/").append(name);
    folder = File(openat(folder.Descriptor(), name.c_str(), kFolderFlags));
    at = end + 1;
  }
  return at > resolved.size() ? stored : std::string();
}

}  // namespace

std::string StoredName(int folder, const std::string& name) {
  if (!SwappedCaseExists(folder, name)) return name;
  return ListedName(folder, name);
}

}  // namespace posix

bool IsStandardOutput(const std::string& path) {
  struct stat out {};
  struct stat named {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &named) == 0 && out.st_dev == named.st_dev &&
         out.st_ino == named.st_ino;
}

bool SameFile(const std::string& first, const std::string& second) {
  struct stat one {};
  struct stat two {};
  if (stat(first.c_str(), &one) != 0 || stat(second.c_str(), &two) != 0 || one.st_dev != two.st_dev) return false;
  if (one.st_ino == two.st_ino) return true;
  // A filesystem that ignores case through FUSE (exFAT, FAT) numbers each
  // spelling of a name apart: "OUT.FIT" and "out.fit" are then one file
  // with two numbers, told apart only by the names their folders store.
  if (one.st_size != two.st_size || posix::ModifiedNs(one) != posix::ModifiedNs(two)) return false;
  const std::string stored = posix::StoredPath(first);
  return !stored.empty() && stored == posix::StoredPath(second);
}

bool QueryStatus(const std::string& path, FileStatus* status) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  status->size = static_cast<std::int64_t>(info.st_size);
  status->is_directory = S_ISDIR(info.st_mode);
  status->is_regular = S_ISREG(info.st_mode);
  return true;
}

int StatusError(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? 0 : errno;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

Readable IsReadable(const std::string& path) {
  if (access(path.c_str(), R_OK) == 0) return Readable::kYes;
  return errno == ENAMETOOLONG ? Readable::kNameTooLong : Readable::kNo;
}

int ListDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return errno;
  while (const dirent* entry = readdir(listing)) names->emplace_back(entry->d_name);
  closedir(listing);
  return 0;
}

std::string FolderOf(const std::string& path) { return posix::DirectoryOf(path); }

}  // namespace corvane::os
