// End-to-end tests of directory arguments: which entries are repaired, how
// their paths are built, and directories that cannot be listed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "helpers.h"

namespace corvane::testing {
namespace {

using Directory = Scratch;

std::string Needy16() { return FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({7})); }

// The paths the run reported, one per file handed to the repair (the closing
// count of files is no path).
std::vector<std::string> ReportedPaths(const std::string& err) {
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start < err.size()) {
    const std::size_t end = err.find('\n', start);
    const std::string line = err.substr(start, end - start);
    const bool summary = line.find(" repaired, ") != std::string::npos && line.ends_with(" failed");
    if (!line.empty() && line[0] != '\t' && line[0] != ' ' && !summary) paths.push_back(line);
    start = end + 1;
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST_F(Directory, PicksFitsNamesOfFiveOrMoreCharacters) {
  ASSERT_EQ(mkdir(Path("data").c_str(), 0777), 0);
  for (const char* name : {"IMG01.FIT", "m42.Fts", "a.fit", "x.fits", "fit", ".fit", "abcd", "notes.txt"}) {
    Write(std::string("data/") + name, Needy16());
  }
  const RunResult run = Run({"data/"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReportedPaths(run.err),
            (std::vector<std::string>{Entry("data", "IMG01.FIT"), Entry("data", "a.fit"), Entry("data", "m42.Fts")}));
  EXPECT_TRUE(run.err.ends_with("\tOK\n3 files: 3 repaired, 0 skipped, 0 failed\n")) << run.err;
  EXPECT_EQ(Read("data/x.fits"), Needy16());
}

// Catches a run that exits 0 although files failed, and a folder with nothing
// to repair that says nothing at all.
TEST_F(Directory, TheExitStatusAndTheLastLineSayWhatBecameOfTheFiles) {
  ASSERT_EQ(mkdir(Path("night").c_str(), 0777), 0);
  Write("night/photo.fit", "\xff\xd8\xff\xe0" + std::string(4000, 'j'));  // a JPEG under a FITS name
  Write("night/signed.fit", FitsFile(Header(16, {ValueCard("BZERO", "0")}), Be16({7})));
  Write("night/good.fit", Needy16());
  // The files that failed are named again after the count (at most 20: see BadInput).
  const std::string failed = "Failed:\n\t" + Entry("night", "photo.fit") + "\n";
  RunResult run = Run({"night"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.ends_with("3 files: 1 repaired, 1 skipped, 1 failed\n" + failed)) << run.err;
  run = Run({"-check", "night", "night/good.fit"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.ends_with("4 files: 0 would be repaired, 3 skipped, 1 failed\n" + failed)) << run.err;
  run = Run({"night/good.fit"});  // one file named alone: no count
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.ends_with("mangled. Skipping...\n")) << run.err;

  ASSERT_EQ(mkdir(Path("empty").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(Path("long").c_str(), 0777), 0);
  Write("long/m42.fits", Needy16());
  Write("long/m43.FITS", Needy16());
  run = Run({"empty", "long"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "No .fit or .fts file in directory empty\n"
            "No .fit or .fts file in directory long; passed over 2 .fits file(s), which are repaired only when named\n"
            "0 files: 0 repaired, 0 skipped, 0 failed\n");
}

// Entries once came in the directory's own order (hash order on ext4), and reports differed between machines.
TEST_F(Directory, EachFilesLinesComeWholeInNameOrderAndAFileNamedAgainWaitsForItsBatch) {
  // OK waits for the batch, later files' lines wait behind it, and a file named again waits for its first repair.
  // Made in another order than their names', as a folder that keeps creation order lists them.
  ASSERT_EQ(mkdir(Path("night").c_str(), 0777), 0);
  for (const std::string name : {"a", "c", "e"}) Write("night/" + name + ".fit", Needy16());
  Write("night/b.fit", FitsFile(Header(16, {ValueCard("BZERO", "0")}), Be16({7})));
  Write("night/d.fit", "\xff\xd8\xff\xe0" + std::string(4000, 'j'));
  const RunResult run = Run({"-add", "1", "night", Entry("night", "a.fit")});
  const std::string repaired = "\tBPP 16\n\tBZERO 32768\n\t[ADD 1, SCALE 1.00, BZERO 32768]\n\tOK\n";
  EXPECT_EQ(run.err, Entry("night", "a.fit") + "\n" + repaired + Entry("night", "b.fit") +
                         "\n\tBPP 16\n\tBZERO 0\n\tLooks like this file does not need fixing. Skipping...\n" +
                         Entry("night", "c.fit") + "\n" + repaired + Entry("night", "d.fit") +
                         "\nInvalit FIT signature at start of file '" + Entry("night", "d.fit") + "'\n" +
                         Entry("night", "e.fit") + "\n" + repaired + Entry("night", "a.fit") +
                         "\n\tBPP 16\n\tBZERO 32768\n\tLooks like this file has already been mangled. Skipping...\n"
                         "6 files: 3 repaired, 2 skipped, 1 failed\nFailed:\n\t" + Entry("night", "d.fit") + "\n");
  EXPECT_EQ(Pixels16(Read("night/a.fit")).at(0), 8);
}

// A slash on Linux, a backslash on Windows (never "C:\Astro/m42.fit"), even
// after a folder typed with a trailing backslash.
TEST_F(Directory, EntriesAreJoinedWithTheSystemSeparatorEvenAfterABackslash) {
  ASSERT_EQ(mkdir(Path("data").c_str(), 0777), 0);
  Write("data/a.fit", Needy16());
  const RunResult run = Run({"data\\"});
  EXPECT_EQ(ReportedPaths(run.err), std::vector<std::string>{Entry("data", "a.fit")});
}

// A copy an interrupted run left is named once by every run (Windows named it twice, and only when repairing).
TEST_F(Directory, ALeftoverCopyIsNamedOnceByEveryRun) {
  ASSERT_EQ(mkdir(Path("night").c_str(), 0777), 0);
  for (const char* name : {".corvane-Ab12Cd", "a.fit", "b.fit"}) Write(std::string("night/") + name, Needy16());
  for (const char* outcome : {"2 repaired", "2 skipped"}) {
    const std::string err = Run({"night"}).err;
    EXPECT_NE(err.find(outcome), std::string::npos) << err;
    EXPECT_EQ(err.find("Note:"), err.rfind("Note:")) << err;
    EXPECT_NE(err.find("' holds '.corvane-Ab12Cd', a copy left by an interrupted run"), std::string::npos) << err;
  }
}

TEST_F(Directory, ASubdirectoryWithAFitsNameFailsAsAFile) {
  ASSERT_EQ(mkdir(Path("data").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(Path("data/sub.fit").c_str(), 0777), 0);
  const RunResult run = Run({"data"});
  EXPECT_EQ(run.status, 1);
  // The system's reason follows ("Is a directory"; Windows says access is denied).
  const std::string sub = Entry("data", "sub.fit");
  EXPECT_TRUE(run.err.starts_with(sub + "\nError")) << run.err;
  // "... in data/sub.fit: Is a directory", or Windows' "cannot open 'data\sub.fit': ..."
  EXPECT_TRUE(run.err.find(sub + ": ") != std::string::npos || run.err.find(sub + "': ") != std::string::npos)
      << run.err;
  EXPECT_TRUE(run.err.ends_with("\n1 file: 0 repaired, 0 skipped, 1 failed\nFailed:\n\t" + sub + "\n")) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 5);
}

TEST_F(Directory, EveryFileIsRepairedExactlyOnceWhileEntriesAreReplaced) {
  ASSERT_EQ(mkdir(Path("many").c_str(), 0777), 0);
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "img" + std::to_string(i) + ".fit";
    Write("many/" + name, Needy16());
    expected.push_back(Entry("many", name));
  }
  std::sort(expected.begin(), expected.end());
  const RunResult run = Run({"many"});
  EXPECT_EQ(ReportedPaths(run.err), expected);
  EXPECT_EQ(Pixels16(Read("many/img0.fit"))[0], 7);
  EXPECT_NE(Card(Read("many/img0.fit"), 5).find("Mangled by CORVANE"), std::string::npos);
}

// An image the user cannot read was once passed over in silence, and the run
// exited 0 as if the folder were done.
TEST_F(Directory, UnreadableEntriesFailWithTheirCause) {
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  ASSERT_EQ(mkdir(Path("data").c_str(), 0777), 0);
  Write("data/hidden.fit", Needy16());
  Write("data/open.fit", Needy16());
  ASSERT_EQ(chmod(Path("data/hidden.fit").c_str(), 0200), 0);
  ASSERT_EQ(chmod(Path("data/open.fit").c_str(), 0666), 0);
  const RunResult run = Run({"data"}, {.as_unprivileged = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("data/hidden.fit\nError: cannot open 'data/hidden.fit': Permission denied\n"),
            std::string::npos) << run.err;
  EXPECT_TRUE(run.err.ends_with("2 files: 1 repaired, 0 skipped, 1 failed\nFailed:\n\tdata/hidden.fit\n")) << run.err;
  ASSERT_EQ(chmod(Path("data/hidden.fit").c_str(), 0600), 0);  // so a test run by its owner can read it back
  EXPECT_TRUE(Read("data/hidden.fit") == Needy16());
}

TEST_F(Directory, ADirectoryThatCannotBeListedIsReportedAndTheRunGoesOn) {
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  ASSERT_EQ(mkdir(Path("closed").c_str(), 0333), 0);
  ASSERT_EQ(chmod(Path("closed").c_str(), 0333), 0);
  Write("b.fit", Needy16());
  ASSERT_EQ(chmod(Path("b.fit").c_str(), 0666), 0);
  const RunResult run = Run({"closed", "b.fit"}, {.as_unprivileged = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("Error opening directory closed: Permission denied\nb.fit\n")) << run.err;
  EXPECT_TRUE(run.err.ends_with("\tOK\n1 file: 1 repaired, 0 skipped, 0 failed; 1 folder(s) could not be listed\n"));
}

TEST_F(Directory, AnEntryWhosePathIsTooLongIsReported) {
  // The folder's own path fits the system's limit, the entry's does not; it was skipped silently.
  std::string folder;
  for (int depth = 0; depth < 20; ++depth) folder += (depth ? "/" : "") + std::string(200, 'd');
  const std::string name = std::string(246, 'n') + ".fit";
  const RunResult made = RunProgram({"/bin/sh", "-c", "mkdir -p \"$0\" && cd \"$0\" && : > \"$1\"", folder, name});
  ASSERT_EQ(made.status, 0) << made.err;
  const RunResult run = Run({folder});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Error: the path of '" + name + "' in directory " + folder + " is too long; skipped\n" +
                         "1 file: 0 repaired, 0 skipped, 1 failed\nFailed:\n\t" + folder + "/" + name + "\n");
}

TEST_F(Directory, AListingTooLargeForTheMemoryIsReportedAndTheRunGoesOn) {
  // The listing ran out of memory outside any file's repair, and the run aborted.
  if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer's allocator cannot be made to fail";
  ASSERT_EQ(mkdir(Path("many").c_str(), 0777), 0);
  const RunResult made = RunProgram({"/bin/sh", "-c", "cd many && seq 5000 | xargs touch"});
  ASSERT_EQ(made.status, 0);
  Write("b.fit", Needy16());
  const RunResult run = Run({"many", "b.fit"}, {.env = {std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY,
                                                        "CORVANE_FAULT_MALLOC=100000"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("Error: out of memory listing directory many; its files were not repaired\nb.fit\n"))
      << run.err;
  EXPECT_TRUE(run.err.ends_with("\tOK\n1 file: 1 repaired, 0 skipped, 0 failed; 1 folder(s) could not be listed\n"));
}

}  // namespace
}  // namespace corvane::testing
