// The floor for a safe in-place rewrite, with no transform: each file named
// is copied to a temporary file beside it, flushed to disk and renamed over
// it; the folder is flushed once at the end. Everything a careful rewrite
// must do, nothing Corvane adds. With --reserve each copy is first given its
// whole size with fallocate, as Corvane does.
//   safe_rewrite [--reserve] FILE...
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

bool Rewrite(const std::string& path, std::vector<char>& buffer, bool reserve) {
  const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat info {};
  if (fstat(in, &info) != 0) {
    close(in);
    return false;
  }
  const std::size_t slash = path.find_last_of('/');
  const std::string temp = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + ".rewrite.tmp";
  const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = out >= 0;
  // A filesystem without reservations is not an error here either.
  if (ok && reserve && fallocate(out, 0, 0, info.st_size) != 0) ok = errno != ENOSPC;
  for (ssize_t got = 0; ok && (got = read(in, buffer.data(), buffer.size())) > 0;) {
    ok = write(out, buffer.data(), static_cast<std::size_t>(got)) == got;
  }
  ok = ok && fsync(out) == 0;
  if (out >= 0) close(out);
  close(in);
  return ok && rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char> buffer(std::size_t{1} << 20);
  const bool reserve = argc > 1 && std::string(argv[1]) == "--reserve";
  for (int i = reserve ? 2 : 1; i < argc; ++i) {
    if (!Rewrite(argv[i], buffer, reserve)) {
      std::perror(argv[i]);
      return 1;
    }
  }
  const std::string last = argc > 1 ? argv[argc - 1] : ".";
  const std::size_t slash = last.find_last_of('/');
  const int folder = open(slash == std::string::npos ? "." : last.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY);
  if (folder >= 0) {
    (void)fsync(folder);
    close(folder);
  }
  return 0;
}
