// What a new copy takes from the file it replaces, on Windows: its
// permissions (the access control list, and whether it inherits its
// folder's) and its creation time, since a rename, unlike ReplaceFileW,
// carries none of them over; the attributes follow once it is in place.
#include <aclapi.h>

#include "platform/os.h"
#include "platform/win32/win32.h"

namespace corvane::os {

using namespace win32;

namespace {

// Gives `copy` the permissions of `original`. A file system that keeps none
// (FAT) has nothing to copy; any other failure says why in `error`.
bool CopyPermissions(const File& original, const File& copy, std::string* error) {
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(HandleOf(original), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool own = GetSecurityDescriptorControl(descriptor, &control, &revision) != 0 && (control & SE_DACL_PROTECTED);
  const DWORD which =
      DACL_SECURITY_INFORMATION | (own ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD result = SetSecurityInfo(HandleOf(copy), SE_FILE_OBJECT, which, nullptr, nullptr, list, nullptr);
  LocalFree(descriptor);
  if (result == ERROR_SUCCESS || result == ERROR_NOT_SUPPORTED || result == ERROR_INVALID_FUNCTION) return true;
  *error = ErrorText(result);
  return false;
}

}  // namespace

Replacement::Attributes Replacement::CopyAttributesFrom(const File& original, std::string* error, std::string*) {
  if (!CopyPermissions(original, file_, error)) return Attributes::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(HandleOf(original), &info) == 0) return Attributes::kCopied;
  (void)SetFileTime(HandleOf(file_), &info.ftCreationTime, nullptr, nullptr);  // a nicety, not the result
  return Attributes::kCopied;
}

// Windows has no mode bits or umask: a new output takes its folder's
// permissions, and one that replaces an output keeps that output's.
Replacement::Attributes Replacement::TakeModeOf(const File&, const File& replaced, std::string* error) {
  return !replaced.IsOpen() || CopyPermissions(replaced, file_, error) ? Attributes::kCopied : Attributes::kFailed;
}

}  // namespace corvane::os
