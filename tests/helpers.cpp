// End-to-end test helpers: scratch directories and running the binary.
#include "helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace corvane::testing {

void Scratch::SetUp() {
  char name[] = "/tmp/corvane-test-XXXXXX";
  ASSERT_NE(mkdtemp(name), nullptr);
  dir_ = name;
  // Open to everyone, so runs as an unprivileged user can use it too.
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
}

void Scratch::TearDown() {
  std::error_code ignored;
  // Restore permissions that a test took away, so everything can be removed.
  std::filesystem::permissions(dir_, std::filesystem::perms::all, ignored);
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> Scratch::Listing() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Scratch::Entry(const std::string& dir, const std::string& name) {
  const char* binary = std::getenv("CORVANE_TEST_BINARY");
  const bool windows = binary != nullptr && std::string_view(binary).ends_with(".exe");
  return dir + (windows ? "\\" : "/") + name;
}

bool Scratch::UnderRunner() {
  const char* runner = std::getenv("CORVANE_TEST_RUNNER");
  return runner != nullptr && *runner != '\0';
}

bool Scratch::CanTestPermissions() { return geteuid() != 0 || access("/usr/bin/setpriv", X_OK) == 0; }

RunResult Scratch::Run(const std::vector<std::string>& args, const RunOptions& options) const {
  std::vector<std::string> command;
  const char* runner = std::getenv("CORVANE_TEST_RUNNER");
  const char* binary = std::getenv("CORVANE_TEST_BINARY");
  if (runner != nullptr && *runner != '\0') command.emplace_back(runner);
  command.emplace_back(binary != nullptr && *binary != '\0' ? binary : CORVANE_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  return RunProgram(command, options);
}

namespace {

// The binary and the fault library as an unprivileged user can use them: a
// build below a folder only its owner may enter (a clone in root's 0700 home)
// is out of its reach, so they get copies in a folder open to all, made once
// and removed at exit. Returns `word` with their paths replaced by the copies'.
std::string ForEveryone(std::string word) {
  static char folder[] = "/tmp/corvane-bin-XXXXXX";
  static const std::vector<std::pair<std::string, std::string>> copies = [] {
    std::vector<std::pair<std::string, std::string>> made;
    if (mkdtemp(folder) == nullptr || chmod(folder, 0755) != 0) return made;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    });
    for (const char* original : {CORVANE_BINARY, CORVANE_FAULT_LIBRARY}) {
      const std::string copy = std::string(folder) + "/" + std::filesystem::path(original).filename().string();
      std::error_code failed;
      std::filesystem::copy_file(original, copy, failed);
      if (!failed && chmod(copy.c_str(), 0755) == 0) made.emplace_back(original, copy);
    }
    return made;
  }();
  for (const auto& [original, copy] : copies) {
    for (std::size_t at; (at = word.find(original)) != std::string::npos;) word.replace(at, original.size(), copy);
  }
  return word;
}

}  // namespace

RunResult Scratch::RunProgram(std::vector<std::string> command, const RunOptions& options) const {
  std::vector<std::string> env = options.env;
  char out_name[] = "/tmp/corvane-out-XXXXXX";
  char err_name[] = "/tmp/corvane-err-XXXXXX";
  const int out_fd = mkstemp(out_name);
  const int err_fd = mkstemp(err_name);
  if (options.as_unprivileged && geteuid() == 0) {
    for (std::string& word : command) word = ForEveryone(word);
    for (std::string& entry : env) entry = ForEveryone(entry);
    // A preloaded library goes to the program alone, not to setpriv, which
    // cannot load one built for a sanitizer.
    const auto preload = std::find_if(env.begin(), env.end(), [](const std::string& entry) {
      return entry.starts_with("LD_PRELOAD=");
    });
    if (preload != env.end()) {
      command.insert(command.begin(), {"/usr/bin/env", *preload});
      env.erase(preload);
    }
    command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (chdir(dir_.c_str()) != 0) _exit(127);
    const rlimit no_core{0, 0};  // a run ended by SIGQUIT or SIGXFSZ leaves no core file behind
    if (setrlimit(RLIMIT_CORE, &no_core) != 0) _exit(127);
    if (options.memory_limit > 0) {
      const rlimit limit{static_cast<rlim_t>(options.memory_limit), static_cast<rlim_t>(options.memory_limit)};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
    }
    for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  RunResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.out = ReadFile(out_name);
  result.err = ReadFile(err_name);
  // The Windows build marks a report in a file as UTF-8 and ends its lines in CRLF: the tests compare lines.
  if (result.err.starts_with("\xEF\xBB\xBF")) {
    std::string lines;
    for (std::size_t i = 3; i < result.err.size(); ++i) {
      if (result.err.compare(i, 2, "\r\n") != 0) lines += result.err[i];
    }
    result.err = lines;
  }
  close(out_fd);
  close(err_fd);
  unlink(out_name);
  unlink(err_name);
  return result;
}

}  // namespace corvane::testing
