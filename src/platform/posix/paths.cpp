// Names and status: the folder and name parts of a path, the status of what
// a path names, whether it exists or can be read, whether two paths or
// standard output name one file, and the listing of a folder.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

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

}  // namespace

std::string StoredName(int folder, const std::string& name) {
  if (!SwappedCaseExists(folder, name)) return name;
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
  if (listing == nullptr) {
    if (fd >= 0) close(fd);
    return name;  // a folder that cannot be listed keeps the name as given
  }
  // Inode numbers cannot tell (a FUSE filesystem may number each name
  // apart): the name is stored as given when an entry has it exactly, else
  // it is the one entry that differs from it in case only.
  std::string stored = name;
  int others = 0;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name == name) {
      others = 0;
      break;
    }
    if (strcasecmp(entry->d_name, name.c_str()) == 0 && ++others == 1) stored = entry->d_name;
  }
  closedir(listing);
  return others == 1 ? stored : name;
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
  return stat(first.c_str(), &one) == 0 && stat(second.c_str(), &two) == 0 && one.st_dev == two.st_dev &&
         one.st_ino == two.st_ino;
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
