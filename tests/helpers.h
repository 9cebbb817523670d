// End-to-end test helpers (POSIX): a scratch directory per test and a runner
// for the built corvane binary, or for another build of it given by
// CORVANE_TEST_BINARY and run through CORVANE_TEST_RUNNER (such as wine).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fits_builder.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_UNDER_ASAN 1
#endif

namespace corvane::testing {

// Under AddressSanitizer its own allocator takes every allocation, so the
// fault library cannot make one fail, and it reserves much address space.
#ifdef CORVANE_UNDER_ASAN
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> env = {};  // extra NAME=value entries
  bool as_unprivileged = false;  // run as nobody (needs root and setpriv)
  long long memory_limit = 0;    // bytes of address space, when not 0
};

// A fresh directory per test, the working directory of every run of the tool.
class Scratch : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(WriteFile(Path(name), bytes)) << "cannot write " << name;
  }
  std::string Read(const std::string& name) const { return ReadFile(Path(name)); }
  // Names in the scratch directory (no "." or "..").
  std::vector<std::string> Listing() const;
  // How the program under test reports entry `name` of folder `dir`: the
  // Windows build joins them with '\', others with '/'.
  static std::string Entry(const std::string& dir, const std::string& name);

  RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
  // Runs any program (command[0] is its path) in the scratch directory.
  RunResult RunProgram(std::vector<std::string> command, const RunOptions& options = {}) const;

  // Whether permission checks can be tested: false when running as root
  // without a way to drop to an unprivileged user.
  static bool CanTestPermissions();
  // Whether the program runs through a runner (wine), and its system's text for a missing file.
  static bool UnderRunner();
  static std::string NoSuchFileText() { return UnderRunner() ? "File not found" : "No such file or directory"; }

  std::string dir_;
};

}  // namespace corvane::testing
