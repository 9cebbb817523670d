// Test helpers: building FITS files, scratch directories, running the binary.
#include "helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace corvane::testing {

std::string FitsFile(const std::vector<std::string>& cards, const std::string& data) {
  std::string header;
  for (const std::string& card : cards) {
    std::string padded = card.substr(0, 80);
    padded.resize(80, ' ');
    header += padded;
  }
  header.resize(2880, ' ');
  return header + data;
}

std::string ValueCard(const std::string& keyword, const std::string& value) {
  std::string card = keyword;
  card.resize(8, ' ');
  card += "= ";
  card += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
  return card;
}

std::vector<std::string> Header(int bitpix, const std::vector<std::string>& extra) {
  std::vector<std::string> cards = {ValueCard("SIMPLE", "T"), ValueCard("BITPIX", std::to_string(bitpix)),
                                    ValueCard("NAXIS", "1"), ValueCard("NAXIS1", "0")};
  cards.insert(cards.end(), extra.begin(), extra.end());
  cards.push_back("END");
  return cards;
}

std::string Be16(const std::vector<std::uint16_t>& pixels) {
  std::string bytes;
  for (std::uint16_t p : pixels) {
    bytes.push_back(static_cast<char>(p >> 8));
    bytes.push_back(static_cast<char>(p & 0xFF));
  }
  return bytes;
}

std::string Be32(const std::vector<std::uint32_t>& pixels) {
  std::string bytes;
  for (std::uint32_t p : pixels) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((p >> shift) & 0xFF));
  }
  return bytes;
}

std::vector<std::uint16_t> Pixels16(const std::string& bytes, std::size_t offset) {
  std::vector<std::uint16_t> pixels;
  for (std::size_t at = offset; at + 2 <= bytes.size(); at += 2) {
    pixels.push_back(static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                                static_cast<unsigned char>(bytes[at + 1])));
  }
  return pixels;
}

std::vector<std::uint32_t> Pixels32(const std::string& bytes, std::size_t offset) {
  std::vector<std::uint32_t> pixels;
  for (std::size_t at = offset; at + 4 <= bytes.size(); at += 4) {
    std::uint32_t p = 0;
    for (std::size_t k = 0; k < 4; ++k) p = (p << 8) | static_cast<unsigned char>(bytes[at + k]);
    pixels.push_back(p);
  }
  return pixels;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string Card(const std::string& file_bytes, int index) {
  return file_bytes.substr(static_cast<std::size_t>(index) * 80, 80);
}

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

bool Scratch::CanTestPermissions() { return geteuid() != 0 || access("/usr/bin/setpriv", X_OK) == 0; }

RunResult Scratch::Run(const std::vector<std::string>& args, const RunOptions& options) const {
  std::vector<std::string> command = {CORVANE_BINARY};
  command.insert(command.end(), args.begin(), args.end());
  return RunProgram(command, options);
}

RunResult Scratch::RunProgram(std::vector<std::string> command, const RunOptions& options) const {
  char out_name[] = "/tmp/corvane-out-XXXXXX";
  char err_name[] = "/tmp/corvane-err-XXXXXX";
  const int out_fd = mkstemp(out_name);
  const int err_fd = mkstemp(err_name);
  if (options.as_unprivileged && geteuid() == 0) {
    command.insert(command.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (chdir(dir_.c_str()) != 0) _exit(127);
    for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  RunResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.out = ReadFile(out_name);
  result.err = ReadFile(err_name);
  close(out_fd);
  close(err_fd);
  unlink(out_name);
  unlink(err_name);
  return result;
}

}  // namespace corvane::testing
