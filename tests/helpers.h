// Test helpers: FITS files built from readable cards and pixel values, a
// scratch directory per test, and a runner for the built corvane binary.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::testing {

// A FITS file's bytes: the cards (each padded to 80 characters) filling a
// 2880-byte header block, followed by `data` as it stands.
std::string FitsFile(const std::vector<std::string>& cards, const std::string& data = "");

// A header for an image of the given BITPIX: SIMPLE, BITPIX, NAXIS cards, then
// `extra` cards, then END.
std::vector<std::string> Header(int bitpix, const std::vector<std::string>& extra = {});

// A card "KEY     = value" with the value right-justified to column 30.
std::string ValueCard(const std::string& keyword, const std::string& value);

// Pixels in FITS (big-endian) byte order, and back.
std::string Be16(const std::vector<std::uint16_t>& pixels);
std::string Be32(const std::vector<std::uint32_t>& pixels);
std::vector<std::uint16_t> Pixels16(const std::string& bytes, std::size_t offset = 2880);
std::vector<std::uint32_t> Pixels32(const std::string& bytes, std::size_t offset = 2880);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::string Card(const std::string& file_bytes, int index);  // card `index` of a file's header

struct RunResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> env = {};  // extra NAME=value entries
  bool as_unprivileged = false;  // run as nobody (needs root and setpriv)
};

// A fresh directory per test, the working directory of every run of the tool.
class Scratch : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) { WriteFile(Path(name), bytes); }
  std::string Read(const std::string& name) const { return ReadFile(Path(name)); }
  // Names in the scratch directory (no "." or "..").
  std::vector<std::string> Listing() const;

  RunResult Run(const std::vector<std::string>& args, const RunOptions& options = {}) const;
  // Runs any program (command[0] is its path) in the scratch directory.
  RunResult RunProgram(std::vector<std::string> command, const RunOptions& options = {}) const;

  // Whether permission checks can be tested: false when running as root
  // without a way to drop to an unprivileged user.
  static bool CanTestPermissions();

  std::string dir_;
};

}  // namespace corvane::testing
