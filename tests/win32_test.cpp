// Unit tests of the Windows platform layer, run under wine: the command-line
// split, wildcard matching against long names, path forms, the retry of a file
// another program holds (on opening it too), the console-window decision and a
// run without a visible console, error text, the console-event guard, the
// temporary file of a killed run, and a file named by its short name.
#include <gtest/gtest.h>
#include <io.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/win32/win32.h"

namespace corvane::os::win32 {
namespace {

namespace fs = std::filesystem;

TEST(CommandLine, QuotesAreNeverPartOfAWord) {
  const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> cases = {
      {L"corvane a.fit  b.fit", {L"corvane", L"a.fit", L"b.fit"}},
      {L"\"C:\\Program Files\\Corvane\\corvane.exe\" -check \"M42 stack.fit\"",
       {L"C:\\Program Files\\Corvane\\corvane.exe", L"-check", L"M42 stack.fit"}},
      // Explorer's and tab completion's quoted folder: no name ending in a quote,
      // and what follows stays a word of its own.
      {L"corvane \"My Night\\\"", {L"corvane", L"My Night\\"}},
      {L"corvane \"My Night\\\" -check x.fit", {L"corvane", L"My Night\\", L"-check", L"x.fit"}},
      {L"corvane \"D:\\\"", {L"corvane", L"D:\\"}},
      // The C runtime's escaping of a trailing backslash gives the same folder.
      {L"corvane \"C:\\My Night\\\\\"", {L"corvane", L"C:\\My Night\\"}},
      {L"corvane \\\\server\\share\\a.fit", {L"corvane", L"\\\\server\\share\\a.fit"}},
      {L"corvane \"\" x", {L"corvane", L"", L"x"}},  // an empty quoted word is a word
      {L"corvane\tN\u00e9buleuse\\  ", {L"corvane", L"N\u00e9buleuse\\"}},
      {L"corvane a\"b c\"d", {L"corvane", L"ab cd"}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(SplitCommandLine(line), words) << Narrow(line);
}

TEST(TemporaryNames, OnlyTheRunsOwnForm) {
  EXPECT_TRUE(IsTemporaryName(L".corvane-Ab3x9Z"));
  EXPECT_FALSE(IsTemporaryName(L".corvane-Ab3x9"));    // too short
  EXPECT_FALSE(IsTemporaryName(L".corvane-Ab3x9Z1"));  // too long
  EXPECT_FALSE(IsTemporaryName(L".corvane-Ab3x.Z"));
  EXPECT_FALSE(IsTemporaryName(L"corvane-Ab3x9Z"));
}

TEST(Wildcards, OnlyLongNamesThatMatchAreTaken) {
  // Names whose 8.3 short names (NIGH~JLP.FIT, M42_~FRD.FIT) match *.fit.
  EXPECT_FALSE(MatchesWildcard(L"*.fit", L"night1.fit_orig"));
  EXPECT_FALSE(MatchesWildcard(L"*.fit", L"night1.fit~"));
  EXPECT_FALSE(MatchesWildcard(L"*.fit", L"m42_final.fits"));
  EXPECT_TRUE(MatchesWildcard(L"*.fit", L"M42 stack.FIT"));
  EXPECT_TRUE(MatchesWildcard(L"n*1?fit", L"night1.fit"));
  EXPECT_TRUE(MatchesWildcard(L"a*b*c", L"aXbYbc"));  // the first '*' must take more
  EXPECT_FALSE(MatchesWildcard(L"a?c", L"ac"));
  EXPECT_TRUE(MatchesWildcard(L"\u00c4?.fit", L"\u00e4\U0001F319.fit"));  // case, and '?' over a surrogate pair
  EXPECT_FALSE(MatchesWildcard(L"*", L".corvane-Ab3x9Z"));
  EXPECT_TRUE(MatchesWildcard(L".*", L".corvane-Ab3x9Z"));
}

TEST(PathForms, FolderAndLongForms) {
  EXPECT_EQ(LastComponentStart(L"D:*.fit"), 2u);
  EXPECT_EQ(LastComponentStart(L"\\\\?\\C:\\x/y\\*.fit"), 11u);
  EXPECT_EQ(LastComponentStart(L"*.fit"), 0u);
  EXPECT_EQ(FolderOf(L"\\\\?\\Z:\\a.fit"), L"\\\\?\\Z:\\");
  EXPECT_EQ(FolderOf(L"C:\\a.fit"), L"C:\\");
  EXPECT_EQ(FolderOf(L"\\\\srv\\share\\x\\a.fit"), L"\\\\srv\\share\\x\\");
  EXPECT_EQ(VerbatimForm(L"C:\\a"), L"\\\\?\\C:\\a");
  EXPECT_EQ(VerbatimForm(L"\\\\srv\\share\\a"), L"\\\\?\\UNC\\srv\\share\\a");
  EXPECT_EQ(VerbatimForm(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\a");
}

TEST(Retry, BusyFailuresAreRetriedOthersAreNot) {
  int calls = 0;
  EXPECT_EQ(RetryWhileBusy([&] { return ++calls < 3 ? DWORD{ERROR_SHARING_VIOLATION} : DWORD{ERROR_SUCCESS}; }, 5, 1),
            DWORD{ERROR_SUCCESS});
  EXPECT_EQ(calls, 3);
  calls = 0;
  EXPECT_EQ(RetryWhileBusy([&] { return ++calls, DWORD{ERROR_FILE_NOT_FOUND}; }, 5, 1), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_EQ(RetryWhileBusy([&] { return ++calls, DWORD{ERROR_ACCESS_DENIED}; }, 5, 1), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(calls, 5);
}

TEST(ConsoleWindow, WaitsForEnterOnlyInAVisibleWindowOfItsOwn) {
  EXPECT_TRUE(ShouldWaitForEnter(1, true, true));    // double-click, or files dropped on it
  EXPECT_FALSE(ShouldWaitForEnter(2, true, true));   // in a Command Prompt or PowerShell
  EXPECT_FALSE(ShouldWaitForEnter(1, false, true));  // its report redirected
  EXPECT_FALSE(ShouldWaitForEnter(0, false, false));  // no console at all
  EXPECT_FALSE(ShouldWaitForEnter(1, true, false));  // CREATE_NO_WINDOW: nobody could press Enter
}

// A scheduled task or a pythonw script starts it with CREATE_NO_WINDOW: it
// must end by itself, not wait for Enter on a console nobody sees.
TEST(ConsoleWindow, ARunWithoutAVisibleConsoleEndsByItself) {
  std::wstring exe = Wide(CORVANE_EXE);
  if (exe.starts_with(L"/")) exe = L"Z:" + exe;  // the build's path as wine names it
  std::replace(exe.begin(), exe.end(), L'/', L'\\');
  std::wstring line = L"\"" + exe + L"\" --version";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &process))
      << GetLastError();
  const DWORD waited = WaitForSingleObject(process.hProcess, 20000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "still waiting after 20 seconds";
  EXPECT_EQ(status, 0u);
}

TEST(Messages, SystemTextWithAHint) {
  const std::string busy = ErrorText(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(busy.find("system error"), std::string::npos) << busy;
  EXPECT_NE(busy.find("(the file is open in another program; close it and try again)"), std::string::npos);
  EXPECT_EQ(ErrorText(ERROR_FILE_NOT_FOUND).find("system error"), std::string::npos);
  EXPECT_NE(ErrorText(ERROR_FILE_READ_ONLY).find("Read-only attribute"), std::string::npos);
}

::testing::UnitTest* UnitTest() { return ::testing::UnitTest::GetInstance(); }

// A scratch folder with one file, a.fit, holding "old".
class Guard : public ::testing::Test {
 protected:
  void SetUp() override {
    // Named after the test, so that a death test's child process uses the same one.
    dir_ = fs::temp_directory_path() / ("corvane-" + std::string(UnitTest()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "a.fit", std::ios::binary) << "old";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string ImagePath() const { return (dir_ / "a.fit").string(); }
  // The image, opened as a run opens a file it rewrites.
  os::Target Image() const {
    os::Target image;
    EXPECT_EQ(image.Open(ImagePath(), Access::kReadWrite), 0);
    return image;
  }
  std::string Content() const {
    std::ifstream in(dir_ / "a.fit", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Entries() const { return static_cast<int>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path Temporary() const {
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().string().starts_with(".corvane-")) return entry.path();
    }
    return {};
  }
  // Opens `path` the way a viewer does (no FILE_SHARE_DELETE, or the given
  // sharing) and closes it after `ms`.
  static std::thread Hold(const fs::path& path, DWORD ms, DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    HANDLE held = CreateFileW(path.wstring().c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    return std::thread([held, ms] {
      Sleep(ms);
      CloseHandle(held);
    });
  }

  // Takes off the temporary file's mark for removal, as on a file system without it.
  static void Unmark(Replacement& replacement) {
    FILE_DISPOSITION_INFO keep{};
    keep.DeleteFile = FALSE;
    EXPECT_TRUE(SetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(replacement.Output().Descriptor())),
                                           FileDispositionInfo, &keep, sizeof keep));
  }

  fs::path dir_;
};

TEST_F(Guard, AReplacementWaitsForAFileHeldForAMoment) {
  os::Target image = Image();
  Replacement replacement;
  ASSERT_EQ(replacement.Create(image), 0);
  EXPECT_NE(GetFileAttributesW(Temporary().wstring().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  ASSERT_EQ(replacement.Output().WriteFull("new", 3), 3);
  std::thread holder = Hold(dir_ / "a.fit", 600);  // sharing reading and writing, not removal
  std::string error;
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(replacement.Commit(image, &error)) << error;
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\tWaiting for another program to finish with this file...\n");
  holder.join();
  EXPECT_EQ(Content(), "new");
  EXPECT_EQ(Entries(), 1);
}

TEST_F(Guard, AReplacementGivesUpOnAFileHeldLongAndSaysWhy) {
  std::thread holder = Hold(dir_ / "a.fit", (kRetryAttempts + 10) * kRetryPauseMs);
  {
    os::Target image = Image();
    Replacement replacement;
    ASSERT_EQ(replacement.Create(image), 0);
    ASSERT_EQ(replacement.Output().WriteFull("new", 3), 3);
    std::string error;
    EXPECT_FALSE(replacement.Commit(image, &error));
    EXPECT_NE(error.find("open in another program"), std::string::npos) << error;
  }
  holder.join();
  EXPECT_EQ(Content(), "old");
  EXPECT_EQ(Entries(), 1);
}

// Where the file system cannot mark a temporary file for removal it is
// removed by name, which a program that opened it once it was closed may delay.
TEST_F(Guard, ATemporaryFileHeldForAMomentIsRemovedOrNamed) {
  std::thread holder;
  {
    const os::Target image = Image();
    Replacement replacement;
    ASSERT_EQ(replacement.Create(image), 0);
    Unmark(replacement);
    replacement.Output().Close();
    holder = Hold(Temporary(), 600);
  }
  holder.join();
  EXPECT_EQ(Entries(), 1);
  fs::path kept;
  ::testing::internal::CaptureStderr();
  {
    const os::Target image = Image();
    Replacement replacement;
    ASSERT_EQ(replacement.Create(image), 0);
    Unmark(replacement);
    replacement.Output().Close();
    kept = Temporary();
    holder = Hold(kept, (kRetryAttempts + 10) * kRetryPauseMs);
  }
  const std::string said = ::testing::internal::GetCapturedStderr();
  holder.join();
  EXPECT_NE(said.find("Error: cannot remove the temporary file '"), std::string::npos) << said;
  EXPECT_NE(said.find(kept.filename().string() + "': "), std::string::npos) << said;
}

// An image a viewer holds for a moment is opened once it lets go; one held
// longer, or marked read-only, is reported with the reason, not as a file
// whose header cannot be read.
TEST_F(Guard, OpeningAnImageHeldOrReadOnlyIsRetriedAndExplained) {
  std::thread holder = Hold(dir_ / "a.fit", 600, 0);
  ::testing::internal::CaptureStderr();
  {
    os::Target image;
    EXPECT_EQ(image.Open(ImagePath(), Access::kReadWrite), 0);
  }
  std::string said = ::testing::internal::GetCapturedStderr();
  holder.join();
  EXPECT_EQ(said, "\tWaiting for another program to finish with this file...\n");
  holder = Hold(dir_ / "a.fit", (kRetryAttempts + 10) * kRetryPauseMs, 0);
  // The caller reports the error with ErrorText, which names the cause.
  {
    os::Target image;
    const int error = image.Open(ImagePath(), Access::kReadWrite);
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    EXPECT_NE(os::ErrorText(error).find("(the file is open in another program; close it and try again)"),
              std::string::npos);
  }
  holder.join();
  ASSERT_TRUE(SetFileAttributesW((dir_ / "a.fit").wstring().c_str(), FILE_ATTRIBUTE_READONLY));
  ::testing::internal::CaptureStderr();
  {
    os::Target image;
    const int error = image.Open(ImagePath(), Access::kReadWrite);
    EXPECT_EQ(error, ERROR_FILE_READ_ONLY);
    EXPECT_NE(os::ErrorText(error).find("Read-only attribute"), std::string::npos);
    EXPECT_EQ(image.Open(ImagePath(), Access::kRead), 0);  // reading it is fine
  }
  said = ::testing::internal::GetCapturedStderr();
  SetFileAttributesW((dir_ / "a.fit").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(said.find("Waiting"), std::string::npos) << said;  // a read-only mark does not go away by waiting
}

// A temporary file an earlier run left is named once per folder, and one a working run has open is not.
TEST_F(Guard, ALeftoverTemporaryFileIsNamedOncePerFolder) {
  const os::Target image = Image();
  Replacement working;
  ASSERT_EQ(working.Create(image), 0);
  std::ofstream(dir_ / ".corvane-Left01", std::ios::binary) << "stale";
  EXPECT_EQ(image.LeftoverCopy(), ".corvane-Left01");
  EXPECT_EQ(image.LeftoverCopy(), "");
}

// A file named by its 8.3 short name was replaced under that name, and its long name was gone.
TEST_F(Guard, AFileNamedByItsShortNameKeepsItsLongName) {
  const fs::path named = dir_ / L"N\u00e9buleuse d'Orion M42.fit";
  std::ofstream(named, std::ios::binary) << "old";
  wchar_t short_path[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameW(named.c_str(), short_path, MAX_PATH), 0u);
  ASSERT_NE(fs::path(short_path).filename(), named.filename());
  os::Target image;
  ASSERT_EQ(image.Open(Narrow(short_path), Access::kReadWrite), 0);
  Replacement replacement;
  ASSERT_EQ(replacement.Create(image), 0);
  ASSERT_EQ(replacement.Output().WriteFull("new", 3), 3);
  std::string error;
  EXPECT_TRUE(replacement.Commit(image, &error)) << error;
  std::ifstream in(named, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
  EXPECT_EQ(Entries(), 2);  // a.fit and the long name
}

using GuardDeathTest = Guard;

// taskkill /f or a crash runs no handler: the system removes the file
// marked for removal, so nothing as large as the image stays hidden there.
TEST_F(GuardDeathTest, AKilledRunLeavesNoTemporaryFile) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const os::Target image = Image();
        Replacement replacement;
        if (replacement.Create(image) != 0 || replacement.Output().WriteFull("new", 3) != 3) std::exit(1);
        TerminateProcess(GetCurrentProcess(), 9);
      },
      ::testing::ExitedWithCode(9), "");
  EXPECT_EQ(Content(), "old");
  EXPECT_EQ(Entries(), 1);
}

TEST_F(GuardDeathTest, AConsoleEventRemovesThePendingFileAndLeavesTheOriginal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const os::Target image = Image();
        Replacement replacement;
        if (replacement.Create(image) != 0 || replacement.Output().WriteFull("new", 3) != 3) std::exit(1);
        OnConsoleEvent(CTRL_CLOSE_EVENT);
        std::exit(2);
      },
      ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "");
  EXPECT_EQ(Content(), "old");
  EXPECT_EQ(Entries(), 1);
}

TEST_F(GuardDeathTest, AConsoleEventLetsAnInPlaceWriteFinish) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        os::Target target = Image();
        File& image = target.Input();
        if (!image.Rewind()) std::exit(1);
        std::thread([] { OnConsoleEvent(CTRL_C_EVENT); }).detach();
        Sleep(300);  // the event is being handled now
        if (image.WriteFull("all new", 7) != 7) std::exit(1);
        image.Close();
        Sleep(5000);
        std::exit(2);
      },
      ::testing::ExitedWithCode(static_cast<int>(STATUS_CONTROL_C_EXIT)), "");
  EXPECT_EQ(Content(), "all new");
}

}  // namespace
}  // namespace corvane::os::win32
