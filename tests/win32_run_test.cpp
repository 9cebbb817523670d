// Whole runs of corvane.exe under wine: folder runs killed, two runs at once, a console at each code page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "fits_builder.h"
#include "platform/win32/win32.h"

namespace corvane::os::win32 {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

// Runs corvane.exe with `arguments` in `folder`, reporting to the file `report` (else this console), until
// it ends or the report shows `kill_at` files done. Returns its exit status.
DWORD RunCorvane(const std::wstring& arguments, const fs::path& folder, const fs::path& report = {}, int kill_at = 0) {
  std::wstring line = L"\"Z:" + Wide(CORVANE_EXE) + L"\" " + arguments;
  std::replace(line.begin(), line.end(), L'/', L'\\');
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = report.empty() ? 0 : STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError =
      report.empty() ? nullptr : CreateFileW(report.c_str(), GENERIC_WRITE, 7, &inherited, CREATE_ALWAYS, 0, nullptr);
  PROCESS_INFORMATION process{};
  EXPECT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, report.empty() ? 0 : CREATE_NO_WINDOW,
                             nullptr, folder.c_str(), &startup, &process));
  if (startup.hStdOutput != nullptr) CloseHandle(startup.hStdOutput);
  while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT && kill_at > 0) {
    const std::string text = ReadFile(report.string());
    int done = 0;
    for (std::size_t at = 0; (at = text.find("\tOK", at)) != std::string::npos; at += 3) ++done;
    if (done >= kill_at) TerminateProcess(process.hProcess, 9);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

// A folder night of 100 images, each one pixel of 7 that needs fixing.
class Runs : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "night");
    const std::string image = testing::FitsFile(testing::Header(16, {"BZERO   =                32768"}), testing::Be16({7}));
    for (int i = 0; i < 100; ++i) testing::WriteFile(Image(i), image);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Image(int i) const { return (dir_ / "night" / std::to_string(i).append(".fit")).string(); }

  const fs::path dir_ = fs::temp_directory_path() /
                        ("corvane-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

// taskkill /f during a folder run left a hidden repaired copy in 2-3 of 8 tries: strike after 2, 4, ... files.
TEST_F(Runs, AFolderRunKilledAtAnyMomentLeavesNoCopy) {
  for (int done = 2; done <= 24; done += 2) {
    EXPECT_EQ(RunCorvane(L"-force -add 1 night", dir_, dir_ / std::to_string(done).append(".txt"), done), 9u) << done;
    // Only a kill in the instant between making a copy and marking it leaves one, still empty.
    for (const auto& entry : fs::directory_iterator(dir_ / "night")) {
      EXPECT_TRUE(entry.path().extension() == ".fit" || entry.file_size() == 0) << entry.path() << " at " << done;
    }
  }
}

// Two runs over one folder: each image repaired once, none failed, no copy named as left nor left behind.
TEST_F(Runs, TwoRunsAtOnceRepairEveryImageOnceAndSaySo) {
  DWORD second = 1;
  std::thread other([&] { second = RunCorvane(L"-add 1 night", dir_, dir_ / "2.txt"); });
  const DWORD first = RunCorvane(L"-add 1 night", dir_, dir_ / "1.txt");
  other.join();
  EXPECT_EQ(first + second, 0u);
  const std::string reports = ReadFile((dir_ / "1.txt").string()) + ReadFile((dir_ / "2.txt").string());
  int repaired = 0;
  for (std::size_t at = 0; (at = reports.find("\n100 files: ", at)) != std::string::npos; ++at) {
    repaired += std::atoi(reports.c_str() + at + 12);
  }
  EXPECT_EQ(repaired, 100) << reports;
  EXPECT_EQ(reports.find("Note:"), std::string::npos) << reports;
  for (int i = 0; i < 100; ++i) EXPECT_EQ(testing::Pixels16(ReadFile(Image(i)))[0], 7 + 1) << Image(i);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "night"), {}), 100);
}

// A console read back at code pages 437, 850, 1252, 65001 ("Nébuleuse" showed as "N├⌐buleuse"); run under script.
TEST_F(Runs, EveryCodePageShowsTheNamesWhole) {
  const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  ASSERT_TRUE(GetConsoleScreenBufferInfo(console, &info)) << "no console";
  const COORD size{info.dwSize.X, std::min<SHORT>(info.dwSize.Y, 100)};
  const std::wstring names[] = {L"N\u00e9buleuse M42.fit", L"\u65e5\u672c \u30c6\u30b9\u30c8.fit"};
  for (const std::wstring& name : names) std::ofstream(dir_ / name) << "not an image";
  for (const UINT page : {437u, 850u, 1252u, 65001u}) {
    ASSERT_TRUE(SetConsoleOutputCP(page));
    DWORD cleared = 0;
    FillConsoleOutputCharacterW(console, L' ', size.X * size.Y, COORD{0, 0}, &cleared);
    SetConsoleCursorPosition(console, COORD{0, 0});
    RunCorvane(L"-check \"" + names[0] + L"\" \"" + names[1] + L"\"", dir_);
    std::vector<CHAR_INFO> cells(static_cast<std::size_t>(size.X) * size.Y);
    SMALL_RECT area{0, 0, static_cast<SHORT>(size.X - 1), static_cast<SHORT>(size.Y - 1)};
    ASSERT_TRUE(ReadConsoleOutputW(console, cells.data(), size, COORD{0, 0}, &area));
    std::wstring shown;
    for (const CHAR_INFO& cell : cells) {
      if ((cell.Attributes & COMMON_LVB_TRAILING_BYTE) == 0) shown += cell.Char.UnicodeChar;  // a wide letter's second cell
    }
    for (const std::wstring& name : names) EXPECT_NE(shown.find(name), std::wstring::npos) << "code page " << page;
  }
  CloseHandle(console);
}

}  // namespace
}  // namespace corvane::os::win32
