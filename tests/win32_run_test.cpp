// Whole runs of corvane.exe started as Windows starts them, under wine: one
// without a visible console, folder runs killed at any moment, two runs over
// one folder at once, and what a console shows of a report at each code page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fits_builder.h"
#include "platform/win32/win32.h"

namespace corvane::os::win32 {
namespace {

namespace fs = std::filesystem;
using testing::Be16;
using testing::FitsFile;
using testing::Header;
using testing::ReadFile;
using testing::ValueCard;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Starts corvane.exe with `arguments` in `folder`, without a console window
// and its output going to the file `report`; with no report, in this console.
PROCESS_INFORMATION Start(const std::wstring& arguments, const fs::path& folder, const fs::path& report = {}) {
  std::wstring exe = Wide(CORVANE_EXE);
  if (exe.starts_with(L"/")) exe = L"Z:" + exe;  // the build's path as wine names it
  std::replace(exe.begin(), exe.end(), L'/', L'\\');
  std::wstring line = L"\"" + exe + L"\" " + arguments;
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!report.empty()) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = CreateFileW(report.c_str(), GENERIC_WRITE, kShareAll, &inherited, CREATE_ALWAYS,
                                                         0, nullptr);
  }
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, report.empty() ? 0 : CREATE_NO_WINDOW,
                             nullptr, folder.c_str(), &startup, &process))
      << GetLastError();
  if (startup.hStdOutput != nullptr) CloseHandle(startup.hStdOutput);
  return process;
}

// Waits at most `ms` for a run (then ends it), and gives its exit status.
DWORD Finish(const PROCESS_INFORMATION& process, DWORD ms = 60000) {
  if (WaitForSingleObject(process.hProcess, ms) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 259);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

class Runs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("corvane-" + std::string(UnitTest()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "night");
  }
  void TearDown() override { fs::remove_all(dir_); }
  static ::testing::UnitTest* UnitTest() { return ::testing::UnitTest::GetInstance(); }
  // Image `i` of the folder night.
  std::string Image(int i) const { return (dir_ / "night" / std::to_string(i).append(".fit")).string(); }
  // `count` images there, each one pixel of 7 that needs fixing.
  void Images(int count) const {
    for (int i = 0; i < count; ++i) {
      testing::WriteFile(Image(i), FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({7})));
    }
  }
  int Leftovers() const {
    return static_cast<int>(std::count_if(fs::directory_iterator(dir_ / "night"), {}, [](const auto& entry) {
      return entry.path().filename().string().starts_with(".corvane-");
    }));
  }

  fs::path dir_;
};

// A scheduled task or a pythonw script starts it with CREATE_NO_WINDOW: it
// must end by itself, not wait for Enter on a console nobody sees.
TEST_F(Runs, ARunWithoutAVisibleConsoleEndsByItself) {
  EXPECT_EQ(Finish(Start(L"--version", dir_, dir_ / "report.txt"), 20000), 0u);
}

// taskkill /f in the middle of a folder run left a hidden, complete repaired
// copy in 2 or 3 of 8 tries, whatever moment it struck. Each try here strikes
// once the report shows another number of files done.
TEST_F(Runs, AFolderRunKilledAtAnyMomentLeavesNoCopy) {
  Images(100);
  for (int done = 2; done <= 24; done += 2) {
    const fs::path report_file = dir_ / std::to_string(done).append(".txt");
    const PROCESS_INFORMATION run = Start(L"-force -add 1 night", dir_, report_file);
    while (WaitForSingleObject(run.hProcess, 1) == WAIT_TIMEOUT) {
      const std::string report = ReadFile(report_file.string());
      int shown = 0;
      for (std::size_t at = report.find("\tOK"); at != std::string::npos; at = report.find("\tOK", at + 1)) ++shown;
      if (shown >= done) TerminateProcess(run.hProcess, 9);
    }
    EXPECT_EQ(Finish(run), 9u) << "the run ended before " << done << " files were done";
    EXPECT_EQ(Leftovers(), 0) << "after a kill when " << done << " files were done";
  }
}

// Two runs over one folder at once: each image is repaired by one run and
// skipped by the other, none fails, and no temporary file stays.
TEST_F(Runs, TwoRunsAtOnceRepairEveryImageOnceAndSaySo) {
  Images(80);
  const PROCESS_INFORMATION first = Start(L"-add 1 night", dir_, dir_ / "first.txt");
  const PROCESS_INFORMATION second = Start(L"-add 1 night", dir_, dir_ / "second.txt");
  EXPECT_EQ(Finish(first), 0u);
  EXPECT_EQ(Finish(second), 0u);
  int repaired = 0;
  for (const char* report : {"first.txt", "second.txt"}) {
    const std::string text = ReadFile((dir_ / report).string());
    int files = 0, ok = 0, skipped = 0, failed = -1;
    const std::size_t count = text.rfind("\n80 files:");
    ASSERT_NE(count, std::string::npos) << text;
    ASSERT_EQ(std::sscanf(text.c_str() + count, "\n%d files: %d repaired, %d skipped, %d failed", &files, &ok,
                          &skipped, &failed), 4);
    EXPECT_EQ(failed, 0) << text;
    repaired += ok;
  }
  EXPECT_EQ(repaired, 80);
  for (int i = 0; i < 80; ++i) {
    EXPECT_EQ(testing::Pixels16(ReadFile(Image(i)))[0], 7 + 1) << Image(i);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "night"), {}), 80);
}

// What a console shows of a report, read back from its buffer, at the code
// pages of the US and Western Europe and at UTF-8: "Nébuleuse" came out as
// "N├⌐buleuse", one byte at a time. Needs a console: tests/windows.sh runs it
// under script.
TEST_F(Runs, EveryCodePageShowsTheNamesWhole) {
  const HANDLE console =
      CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info)) << "no console";
  const std::wstring names[] = {L"N\u00e9buleuse M42.fit", L"\u65e5\u672c \u30c6\u30b9\u30c8.fit"};
  for (const std::wstring& name : names) std::ofstream(dir_ / name, std::ios::binary) << "not an image";
  for (const UINT page : {437u, 850u, 1252u, 65001u}) {
    ASSERT_TRUE(SetConsoleOutputCP(page));
    const SHORT width = info.dwSize.X;
    const SHORT rows = std::min<SHORT>(info.dwSize.Y, 100);
    DWORD done = 0;
    FillConsoleOutputCharacterW(console, L' ', width * rows, COORD{0, 0}, &done);
    SetConsoleCursorPosition(console, COORD{0, 0});
    Finish(Start(L"-check \"" + names[0] + L"\" \"" + names[1] + L"\"", dir_));
    std::vector<CHAR_INFO> cells(static_cast<std::size_t>(width) * rows);
    SMALL_RECT area{0, 0, static_cast<SHORT>(width - 1), static_cast<SHORT>(rows - 1)};
    ASSERT_TRUE(ReadConsoleOutputW(console, cells.data(), COORD{width, rows}, COORD{0, 0}, &area));
    std::wstring shown;
    for (const CHAR_INFO& cell : cells) {
      if ((cell.Attributes & COMMON_LVB_TRAILING_BYTE) == 0) shown += cell.Char.UnicodeChar;  // wide letters
    }
    for (const std::wstring& name : names) EXPECT_NE(shown.find(name), std::wstring::npos) << "code page " << page;
  }
  CloseHandle(console);
}

}  // namespace
}  // namespace corvane::os::win32
