// What a new copy takes from the file it replaces: owner and group where
// permitted, extended attributes (ACLs among them) and mode bits; for an
// output file, what cp gives a copy (an existing output keeps its own). A copy
// that would give more access than the original had is refused.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os.h"

namespace corvane::os {
namespace {

// The names of a file's extended attributes; an empty list where the
// filesystem keeps none. False when they cannot be listed.
bool ListAttributes(int fd, std::vector<std::string>* names) {
  std::vector<char> buffer;
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP || errno == ENOSYS;
    buffer.resize(static_cast<std::size_t>(size));
    const ssize_t got = flistxattr(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == ERANGE) continue;  // it grew meanwhile
    if (got < 0) return false;
    for (std::size_t at = 0; at < static_cast<std::size_t>(got);) {
      names->emplace_back(buffer.data() + at);
      at += names->back().size() + 1;
    }
    return true;
  }
}

// Makes the extended attributes of `to` those of `from`: each copied, and each
// that `to` got from its folder (a default ACL) but `from` lacks removed, as
// it could give access the original did not.
bool CopyExtendedAttributes(int from, int to, std::string* error) {
  std::vector<std::string> wanted;
  std::vector<std::string> present;
  if (!ListAttributes(from, &wanted) || !ListAttributes(to, &present)) {
    *error = std::string("cannot list extended attributes: ") + std::strerror(errno);
    return false;
  }
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
    if (fremovexattr(to, name.c_str()) != 0) {
      *error = "cannot remove the attribute " + name + ": " + std::strerror(errno);
      return false;
    }
  }
  std::vector<char> value;
  for (const std::string& name : wanted) {
    const ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    value.resize(size > 0 ? static_cast<std::size_t>(size) : 1);
    const ssize_t got = size < 0 ? -1 : fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 || fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      *error = "cannot copy the attribute " + name + ": " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

}  // namespace

Replacement::Attributes Replacement::CopyAttributesFrom(const File& original, std::string* error, std::string* note) {
  struct stat info {};
  if (fstat(original.Descriptor(), &info) != 0) {
    *error = std::strerror(errno);
    return Attributes::kFailed;
  }
  // Ownership first: a change of owner clears the set-id bits that fchmod then
  // restores. Only root may give a file away; the group can often be kept all
  // the same. A copy in another group is refused unless the group's bits are
  // those of everyone else: the other group would gain what the old one had,
  // and the old one, shut out before, would gain what everyone has.
  if (fchown(file_.Descriptor(), info.st_uid, info.st_gid) != 0) (void)fchown(file_.Descriptor(), -1, info.st_gid);
  struct stat owned {};
  if (fstat(file_.Descriptor(), &owned) != 0) {
    *error = std::strerror(errno);
    return Attributes::kFailed;
  }
  // A copy that would belong to someone else than the image's owner never
  // takes its place: the owner could lose access to it.
  if (owned.st_uid != info.st_uid) return Attributes::kOtherOwner;
  const bool group_differs = ((info.st_mode >> 3) & 07) != (info.st_mode & 07);
  if (owned.st_gid != info.st_gid && group_differs) {
    *error = "cannot keep its group";
    return Attributes::kFailed;
  }
  if (!CopyExtendedAttributes(original.Descriptor(), file_.Descriptor(), error)) return Attributes::kFailed;
  const mode_t mode = info.st_mode & 07777;
  if (fchmod(file_.Descriptor(), mode) == 0) return Attributes::kCopied;
  // A filesystem without Unix permissions (FAT, some FUSE ones) refuses any
  // mode, and says so with one of these; the copy then has the filesystem's
  // own, which is fine unless it would let someone do more than the original
  // did. Any other failure (a disk error) leaves the image alone.
  const int refusal = errno;
  const bool keeps_no_permissions = refusal == EPERM || refusal == ENOSYS || refusal == EOPNOTSUPP;
  struct stat copy {};
  if (keeps_no_permissions && fstat(file_.Descriptor(), &copy) == 0 && (copy.st_mode & 07777 & ~mode) == 0) {
    if ((copy.st_mode & 07777) == mode) return Attributes::kCopied;  // nothing changed worth a note
    char text[96];
    (void)std::snprintf(text, sizeof text, "its filesystem refused mode %04o; it now has mode %04o",
                        static_cast<unsigned>(mode), static_cast<unsigned>(copy.st_mode & 07777));
    *note = text;
    return Attributes::kCopied;
  }
  *error = std::string("cannot set its mode: ") + std::strerror(refusal);
  return Attributes::kFailed;
}

Replacement::Attributes Replacement::TakeModeOf(const File& input, const File& replaced, std::string* error) {
  struct stat info {};
  if (fstat(input.Descriptor(), &info) != 0) {
    *error = std::strerror(errno);
    return Attributes::kFailed;
  }
  struct stat old {};
  const bool replaces = replaced.IsOpen() && fstat(replaced.Descriptor(), &old) == 0;
  if (replaces && old.st_uid != geteuid()) {
    // Another user's output keeps its owner, or is not replaced.
    if (fchown(file_.Descriptor(), old.st_uid, old.st_gid) != 0) return Attributes::kOtherOwner;
  } else if (replaces) {
    (void)fchown(file_.Descriptor(), static_cast<uid_t>(-1), old.st_gid);  // checked below
  }
  // The ACL and the other extended attributes of the replaced output stay
  // with it, as cp leaves them: a named user keeps its access.
  if (replaces && !CopyExtendedAttributes(replaced.Descriptor(), file_.Descriptor(), error)) {
    return Attributes::kFailed;
  }
  // As cp does: an output that exists keeps its own mode (and group); a new
  // one gets the input's mode less the umask.
  const mode_t mask = umask(0);
  (void)umask(mask);
  mode_t mode = replaces ? old.st_mode & 0777 : info.st_mode & 0777 & ~mask;
  struct stat made {};
  if (replaces && fstat(file_.Descriptor(), &made) == 0 && made.st_gid != old.st_gid) {
    // Another group than the old output's gets no more than everyone else.
    mode = static_cast<mode_t>((mode & ~static_cast<mode_t>(070)) | ((mode & 07) << 3));
  }
  if (fchmod(file_.Descriptor(), mode) != 0) {
    const int refusal = errno;
    struct stat copy {};
    if (fstat(file_.Descriptor(), &copy) == 0 && (copy.st_mode & 07777 & ~mode) == 0) return Attributes::kCopied;
    *error = std::string("cannot set its mode: ") + std::strerror(refusal);
    return Attributes::kFailed;
  }
  return Attributes::kCopied;
}

}  // namespace corvane::os
