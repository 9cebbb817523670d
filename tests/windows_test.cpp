// End-to-end tests of the Windows build under wine (make test-windows): every
// form of path Windows users write, and the attributes a replaced image keeps.
// Skipped unless CORVANE_TEST_RUNNER runs the program through wine.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "helpers.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;

// A small 16-bit file that needs fixing.
std::string Plain16(std::vector<std::uint16_t> pixels) {
  return FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(pixels));
}

// Whether a run over one file, or a folder of one file, repaired it.
bool Repaired(const std::string& err) {
  return err.ends_with("\tOK\n") || err.ends_with("\tOK\n1 file: 1 repaired, 0 skipped, 0 failed\n");
}

// Drive P: is the scratch directory, which makes P:\ the current folder of
// every run; drive Q: is its subfolder q; the share \\corvane-test\scratch is
// the scratch directory again.
class WindowsPaths : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    const char* runner = std::getenv("CORVANE_TEST_RUNNER");
    if (runner == nullptr || std::string(runner).find("wine") == std::string::npos) {
      GTEST_SKIP() << "Windows path forms are tested under wine only";
    }
    runner_ = runner;
    const char* prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    devices_ = fs::path(prefix != nullptr ? prefix : std::string(home != nullptr ? home : "") + "/.wine") / "dosdevices";
    fs::create_directories(dir_ + "/q");
    for (const char* drive : {"p:", "q:"}) fs::remove(devices_ / drive);
    fs::create_symlink(dir_, devices_ / "p:");
    fs::create_symlink(dir_ + "/q", devices_ / "q:");
    fs::create_directories(devices_ / "unc" / "corvane-test");
    fs::remove(devices_ / "unc" / "corvane-test" / "scratch");
    fs::create_symlink(dir_, devices_ / "unc" / "corvane-test" / "scratch");
  }
  void TearDown() override {
    std::error_code ignored;
    if (!devices_.empty()) {
      for (const char* drive : {"p:", "q:"}) fs::remove(devices_ / drive, ignored);
      fs::remove_all(devices_ / "unc" / "corvane-test", ignored);
    }
    Scratch::TearDown();
  }

  // The scratch directory as wine names it, "Z:\tmp\corvane-test-...".
  std::string WindowsDir() const {
    std::string name = "Z:" + dir_;
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
  }
  static ino_t Inode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  }
  // Attributes as "attrib" shows them, such as "A   H".
  std::string Attributes(const std::string& name) const {
    const RunResult shown = RunProgram({runner_, "cmd", "/c", "attrib", name});
    return shown.out.substr(0, std::min<std::size_t>(shown.out.size(), 10));
  }

  std::string runner_;
  fs::path devices_;
};

// Each form names a.fit or its folder; the image must be replaced through a
// temporary file beside it (a new inode), never written through, and nothing
// may be left behind. "Q:a.fit" is on another drive than the current folder.
TEST_F(WindowsPaths, EveryPathFormIsReplacedBesideTheImage) {
  const std::string dir = WindowsDir();
  const std::vector<std::pair<std::string, std::string>> forms = {
      {"\\\\?\\" + dir + "\\a.fit", "a.fit"},  // the long-path form
      {"\\a.fit", "a.fit"},                    // the root of the current drive
      {"Q:a.fit", "q/a.fit"},                  // relative to drive Q:'s current folder
      {"\\\\corvane-test\\scratch\\a.fit", "a.fit"},
      {"Q:\\", "q/a.fit"},  // folders: a drive root, and long-path forms
      {"\\\\?\\Q:\\", "q/a.fit"},
      {"\\\\?\\" + dir, "a.fit"},
      {"\\\\?\\" + dir + "\\", "a.fit"},
  };
  for (const auto& [form, file] : forms) {
    Write(file, Plain16({10}));
    const ino_t before = Inode(Path(file));
    const RunResult run = Run({"-add", "1", form});
    EXPECT_EQ(run.status, 0) << form;
    EXPECT_TRUE(Repaired(run.err)) << form << "\n" << run.err;
    EXPECT_EQ(Pixels16(Read(file))[0], 11) << form;
    EXPECT_NE(Inode(Path(file)), before) << form << " was written through";
    fs::remove(Path(file));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1) << form << " left a file";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ + "/q"), {}), 0) << form << " left a file";
  }
}

TEST_F(WindowsPaths, PathsLongerThan260Characters) {
  std::string sub = dir_;
  while (sub.size() < 300) sub += "/" + std::string(60, 'd');
  fs::create_directories(sub);
  ASSERT_TRUE(WriteFile(sub + "/long.fit", Plain16({10})));
  std::string windows_sub = "Z:" + sub;
  std::replace(windows_sub.begin(), windows_sub.end(), '/', '\\');
  const RunResult file = Run({"-add", "1", windows_sub + "\\long.fit"});
  EXPECT_TRUE(file.err.ends_with("\tOK\n")) << file.err;
  const RunResult folder = Run({"-force", "-add", "1", windows_sub});
  EXPECT_TRUE(Repaired(folder.err)) << folder.err;
  EXPECT_EQ(Pixels16(ReadFile(sub + "/long.fit"))[0], 12);
  EXPECT_EQ(std::distance(fs::directory_iterator(sub), {}), 1);
}

// The hidden mark is the original's: kept when it had it, not taken from the
// hidden temporary file when it had not.
TEST_F(WindowsPaths, AReplacedImageKeepsItsAttributes) {
  Write("hidden.fit", Plain16({10}));
  Write("plain.fit", Plain16({10}));
  ASSERT_EQ(RunProgram({runner_, "cmd", "/c", "attrib", "+h", "hidden.fit"}).status, 0);
  ASSERT_NE(Attributes("hidden.fit").find('H'), std::string::npos) << "wine keeps no attributes here";
  const RunResult run = Run({"-add", "1", "hidden.fit", "plain.fit"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Pixels16(Read("hidden.fit"))[0], 11);
  EXPECT_NE(Attributes("hidden.fit").find('H'), std::string::npos) << Attributes("hidden.fit");
  EXPECT_EQ(Attributes("plain.fit").find('H'), std::string::npos) << Attributes("plain.fit");
  // With its report redirected the program never waits for Enter.
  EXPECT_EQ(run.err.find("Press Enter"), std::string::npos);
}

// Redirected to a file, the report is UTF-8 marked at its start with CRLF line ends, as Notepad reads it.
TEST_F(WindowsPaths, AReportInAFileIsMarkedUtf8WithWindowsLineEnds) {
  Write("N\xc3\xa9" "buleuse.fit", Plain16({10}));
  std::string exe = "Z:" + std::string(std::getenv("CORVANE_TEST_BINARY"));
  std::replace(exe.begin(), exe.end(), '/', '\\');
  ASSERT_EQ(RunProgram({runner_, "cmd", "/c", exe + " -check N*.fit 2> report.txt"}).status, 0);
  EXPECT_EQ(Read("report.txt"),
            "\xef\xbb\xbfN\xc3\xa9" "buleuse.fit\r\n\tBPP 16\r\n\tBZERO 32768\r\n\t[ADD 0, SCALE 1.00, BZERO 32768]\r\n"
            "\tWould be repaired (nothing written: -check)\r\n");
}

}  // namespace
}  // namespace corvane::testing
