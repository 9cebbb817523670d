// Unit tests of the Windows platform layer, run under wine: wildcard matching
// against long names, path forms, the retry of a file another program holds,
// the console-window decision, error text, and the console-event guard.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/os.h"
#include "platform/win32.h"

namespace corvane::os::win32 {
namespace {

namespace fs = std::filesystem;

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

TEST(ConsoleWindow, WaitsForEnterOnlyInAWindowOfItsOwn) {
  EXPECT_TRUE(ShouldWaitForEnter(1, true));    // double-click, or files dropped on it
  EXPECT_FALSE(ShouldWaitForEnter(2, true));   // in a Command Prompt or PowerShell
  EXPECT_FALSE(ShouldWaitForEnter(1, false));  // its report redirected
  EXPECT_FALSE(ShouldWaitForEnter(0, false));  // no console at all
}

TEST(Messages, SystemTextWithAHint) {
  const std::string busy = ErrorText(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(busy.find("system error"), std::string::npos) << busy;
  EXPECT_NE(busy.find("(the file is open in another program; close it and try again)"), std::string::npos);
  EXPECT_EQ(ErrorText(ERROR_FILE_NOT_FOUND).find("system error"), std::string::npos);
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
  // Opens `path` the way a viewer does (no FILE_SHARE_DELETE) and closes it after `ms`.
  static std::thread Hold(const fs::path& path, DWORD ms) {
    HANDLE held = CreateFileW(path.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    return std::thread([held, ms] {
      Sleep(ms);
      CloseHandle(held);
    });
  }

  fs::path dir_;
};

TEST_F(Guard, AReplacementWaitsForAFileHeldForAMoment) {
  os::Target image = Image();
  Replacement replacement;
  ASSERT_EQ(replacement.Create(image), 0);
  EXPECT_NE(GetFileAttributesW(Temporary().wstring().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  ASSERT_EQ(replacement.Output().WriteFull("new", 3), 3);
  std::thread holder = Hold(dir_ / "a.fit", 600);
  std::string error;
  EXPECT_TRUE(replacement.Commit(image, &error)) << error;
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

TEST_F(Guard, ATemporaryFileHeldForAMomentIsRemovedOrNamed) {
  std::thread holder;
  {
    const os::Target image = Image();
    Replacement replacement;
    ASSERT_EQ(replacement.Create(image), 0);
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
    kept = Temporary();
    holder = Hold(kept, (kRetryAttempts + 10) * kRetryPauseMs);
  }
  const std::string said = ::testing::internal::GetCapturedStderr();
  holder.join();
  EXPECT_NE(said.find("Error: cannot remove the temporary file '"), std::string::npos) << said;
  EXPECT_NE(said.find(kept.filename().string() + "': "), std::string::npos) << said;
}

using GuardDeathTest = Guard;

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
