// End-to-end tests of the writer: the layout of the written file, the marker
// and BZERO cards, output files, and what replacing a file in place keeps.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "helpers.h"

namespace corvane::testing {
namespace {

using Layout = Scratch;
using Replace = Scratch;
using Output = Scratch;

const std::string kMarkerStart = "COMMENT =Mangled by CORVANE";
const std::string kBlank(80, ' ');

// A 32-bit header whose END card is card `end`, with filler cards before it.
std::vector<std::string> HeaderEndingAt(int end) {
  std::vector<std::string> cards = Header(32);
  cards.pop_back();
  while (static_cast<int>(cards.size()) < end) cards.push_back("HISTORY filler");
  cards.push_back("END");
  return cards;
}

TEST_F(Layout, TheMarkerTakesTheEndCardsPlace) {
  Write("a.fit", FitsFile(HeaderEndingAt(10), Be32({1})));
  Run({"a.fit"});
  const std::string bytes = Read("a.fit");
  EXPECT_EQ(Card(bytes, 9), FitsFile({"HISTORY filler"}).substr(0, 80));
  EXPECT_TRUE(Card(bytes, 10).starts_with(kMarkerStart + " "));
  EXPECT_EQ(Card(bytes, 11), FitsFile({"END"}).substr(0, 80));
  for (int j = 12; j < 36; ++j) EXPECT_EQ(Card(bytes, j), kBlank) << j;

  Write("b.fit", FitsFile(HeaderEndingAt(34), Be32({1})));
  Run({"b.fit"});
  EXPECT_TRUE(Card(Read("b.fit"), 34).starts_with(kMarkerStart));
  EXPECT_TRUE(Card(Read("b.fit"), 35).starts_with("END "));
}

// Such a file was repaired again on every run (its pixels went 1001, 1000,
// 999...), since nothing marked it: it is refused unless forced.
TEST_F(Layout, AnEndCardInTheLastSlotLeavesNoRoomForTheMarker) {
  const std::string input = FitsFile(HeaderEndingAt(35), Be32({1}));
  Write("a.fit", input);
  const RunResult refused = Run({"a.fit"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.err.ends_with("Error: 'a.fit' left unchanged: its header block is full, so it cannot be "
                                    "marked as repaired and a later run would repair it again; -force repairs it "
                                    "anyway, unmarked\n")) << refused.err;
  EXPECT_EQ(Read("a.fit"), input);
  EXPECT_TRUE(Run({"-force", "a.fit"}).err.ends_with("\tIts header block is full: no mark is added, as -force asks\n"
                                                    "\t[ADD 0, SCALE 1.00, BZERO 0]\n\tOK\n"));
  const std::string once = Read("a.fit");
  EXPECT_TRUE(Card(once, 35).starts_with("END "));
  EXPECT_EQ(once.find("Mangled"), std::string::npos);
}

TEST_F(Layout, TheDataIsFilledWithZerosToAWholeBlock) {
  for (const std::size_t size : {0u, 100u, 2880u}) {
    Write("a.fit", FitsFile(Header(-32), std::string(size, '\x55')));
    Run({"a.fit"});
    const std::string bytes = Read("a.fit");
    EXPECT_EQ(bytes.size(), 2880 + (size + 2879) / 2880 * 2880) << size;
    EXPECT_EQ(bytes.substr(2880 + size), std::string(bytes.size() - 2880 - size, '\0'));
  }
}

TEST_F(Layout, ExtraBytesComeBeforeTheFill) {
  Write("a.fit", FitsFile(Header(-32), std::string(2880, '\x55')));
  Run({"-padbytes", "10", "a.fit"});
  EXPECT_EQ(Read("a.fit").size(), 3u * 2880u);
  Write("b.fit", FitsFile(Header(-32), std::string(100, '\x55')));
  Run({"-padbytes", "0", "b.fit"});
  EXPECT_EQ(Read("b.fit").size(), 2u * 2880u);
}

TEST_F(Layout, BzeroCardsAreRebuiltInTheFixedLayout) {
  const std::string expected0 = "BZERO   =                    0" + std::string(50, ' ');
  const std::string expected_read = "BZERO   =                32768" + std::string(50, ' ');
  // "BZEROX" is read as a BZERO card (five characters) but not rebuilt (six).
  Write("two.fit", FitsFile(Header(32, {"BZERO   = 32768 / first", "BZERO   =   32768 / again", "BZEROX  = 5"}),
                            Be32({1})));
  Run({"-bzero", "0", "two.fit"});
  std::string bytes = Read("two.fit");
  EXPECT_EQ(Card(bytes, 4), expected0);
  EXPECT_EQ(Card(bytes, 5), expected0);
  EXPECT_EQ(Card(bytes, 6), FitsFile({"BZEROX  = 5"}).substr(0, 80));
  Write("keep.fit", FitsFile(Header(16, {"BZERO   = 32768 / comment"}), Be16({1})));
  Run({"keep.fit"});
  EXPECT_EQ(Card(Read("keep.fit"), 4), expected_read);
  // No BZERO card for -bzero to set, or one after END, which no reader sees.
  std::vector<std::string> after_end = Header(32);
  after_end.push_back(ValueCard("BZERO", "32768"));
  for (const std::string& none : {FitsFile(Header(32), Be32({1})), FitsFile(after_end, Be32({1}))}) {
    Write("none.fit", none);
    const RunResult run = Run({"-bzero", "9", "none.fit"});
    EXPECT_TRUE(run.err.ends_with("Error: 'none.fit' left unchanged: it has no BZERO card for -bzero to set\n"))
        << run.err;
    EXPECT_EQ(Read("none.fit"), none);
  }
  Write("noeq.fit", FitsFile(Header(32, {"BZERO     77"}), Be32({1})));
  Run({"noeq.fit"});
  EXPECT_EQ(Card(Read("noeq.fit"), 4), "BZERO   =                   -1" + std::string(50, ' '));
}

TEST_F(Layout, ForcingAMarkedFileAddsASecondMarker) {
  Write("a.fit", FitsFile(Header(32), Be32({1})));
  Run({"a.fit"});
  Run({"-force", "a.fit"});
  const std::string bytes = Read("a.fit");
  EXPECT_TRUE(Card(bytes, 4).starts_with(kMarkerStart));
  EXPECT_TRUE(Card(bytes, 5).starts_with(kMarkerStart));
  EXPECT_TRUE(Card(bytes, 6).starts_with("END "));
}

TEST_F(Layout, AnOutputFileHoldsExactlyTheResultAndTheInputIsKept) {
  const std::string input = FitsFile(Header(32), Be32({1, 2}));
  Write("in.fit", input);
  Write("out.fit", std::string(5 * 2880, 'Z'));  // longer than the result
  const RunResult run = Run({"-out", "out.fit", "in.fit"});
  EXPECT_TRUE(run.err.ends_with("\tOK\n"));
  EXPECT_EQ(Read("in.fit"), input);
  EXPECT_EQ(Read("out.fit").size(), 2u * 2880u);
  EXPECT_EQ(Pixels32(Read("out.fit")).at(1), 2u + 2147483649u);
}

TEST_F(Layout, AnOutputFileGetsTheInputsModeLessTheUmask) {
  // Every output got 0666 less the umask: a private 0600 image gave a 0644 copy.
  Write("in.fit", FitsFile(Header(32), Be32({1})));
  const mode_t mask = umask(027);
  for (const auto& [input, output] : std::vector<std::pair<mode_t, mode_t>>{
           {0644, 0640}, {0600, 0600}, {0666, 0640}, {0755, 0750}, {04755, 0750}}) {
    SCOPED_TRACE(input);
    for (const bool existed : {false, true}) {
      unlink(Path("new.fit").c_str());
      if (existed) {
        Write("new.fit", "old");
        ASSERT_EQ(chmod(Path("new.fit").c_str(), 0604), 0);
      }
      ASSERT_EQ(chmod(Path("in.fit").c_str(), input), 0);
      EXPECT_TRUE(Run({"-out", "new.fit", "in.fit"}).err.ends_with("\tOK\n"));
      struct stat info {};
      ASSERT_EQ(stat(Path("new.fit").c_str(), &info), 0);
      // An existing output keeps its own mode, as cp leaves it (a private one
      // once became readable by all).
      EXPECT_EQ(info.st_mode & 07777, existed ? 0604u : output);
    }
  }
  umask(mask);
}

TEST_F(Layout, AnOutputFileThatCannotBeOpenedEndsTheRun) {
  Write("a.fit", FitsFile(Header(32), Be32({1})));
  Write("b.fit", FitsFile(Header(32), Be32({1})));
  const std::string before = Read("b.fit");
  // A folder that is not there is found before any file is touched.
  RunResult run = Run({"-out", "no/such/dir/out.fit", "a.fit", "b.fit"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("Error: -out names 'no/such/dir/out.fit', but its folder does not exist\n"));
  EXPECT_EQ(Read("a.fit"), before);
  // A folder that refuses the file ends the run at the first file, with the reason.
  const char* runner = std::getenv("CORVANE_TEST_RUNNER");
  if (!CanTestPermissions() || (runner != nullptr && *runner != '\0')) return;
  ASSERT_EQ(mkdir(Path("shut").c_str(), 0555), 0);
  ASSERT_EQ(chmod(Path("shut").c_str(), 0555), 0);
  run = Run({"-out", "shut/out.fit", "a.fit", "-out", "b2.fit", "b.fit"}, {.as_unprivileged = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.ends_with(": Permission denied\nCannot open output file [shut/out.fit]\n")) << run.err;
  EXPECT_EQ(run.err.find("b.fit"), std::string::npos);
  EXPECT_EQ(Read("b.fit"), before);
}

TEST_F(Replace, ASymbolicLinkStaysALinkAndItsTargetIsReplaced) {
  ASSERT_EQ(mkdir(Path("real").c_str(), 0777), 0);
  Write("real/img.fit", FitsFile(Header(32), Be32({1})));
  ASSERT_EQ(symlink("real/img.fit", Path("link.fit").c_str()), 0);
  EXPECT_TRUE(Run({"link.fit"}).err.ends_with("\tOK\n"));
  struct stat info {};
  ASSERT_EQ(lstat(Path("link.fit").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(Pixels32(Read("real/img.fit")).at(0), 2147483650u);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"link.fit", "real"}));
}

TEST_F(Replace, AHardLinkedFileKeepsTheOriginalUnderItsOtherName) {
  const std::string input = FitsFile(Header(32), Be32({1}));
  Write("img.fit", input);
  ASSERT_EQ(link(Path("img.fit").c_str(), Path("backup.fit").c_str()), 0);
  Run({"img.fit"});
  EXPECT_EQ(Read("backup.fit"), input);
  EXPECT_EQ(Pixels32(Read("img.fit")).at(0), 2147483650u);
}

TEST_F(Replace, PermissionsOwnerAndGroupAreKept) {
  Write("img.fit", FitsFile(Header(32), Be32({1})));
  ASSERT_EQ(chmod(Path("img.fit").c_str(), 0640), 0);
  const bool can_chown = geteuid() == 0 && chown(Path("img.fit").c_str(), 1234, 5678) == 0;
  struct stat before {};
  ASSERT_EQ(stat(Path("img.fit").c_str(), &before), 0);
  Run({"img.fit"});
  struct stat after {};
  ASSERT_EQ(stat(Path("img.fit").c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);  // a new file took the name
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  if (can_chown) {
    EXPECT_EQ(after.st_uid, 1234u);
  }
  EXPECT_EQ(Listing(), std::vector<std::string>{"img.fit"});
}

TEST_F(Replace, AReadOnlyDirectoryIsWrittenThroughTheFile) {
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  ASSERT_EQ(mkdir(Path("ro").c_str(), 0777), 0);
  Write("ro/img.fit", FitsFile(Header(32), Be32({1})));
  ASSERT_EQ(chmod(Path("ro/img.fit").c_str(), 0666), 0);
  ASSERT_EQ(chmod(Path("ro").c_str(), 0555), 0);
  struct stat before {};
  ASSERT_EQ(stat(Path("ro/img.fit").c_str(), &before), 0);
  const RunResult run = Run({"ro/img.fit"}, {.as_unprivileged = true});
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
  struct stat after {};
  ASSERT_EQ(stat(Path("ro/img.fit").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(Pixels32(Read("ro/img.fit")).at(0), 2147483650u);
}

TEST_F(Replace, AFileWithoutWritePermissionIsNeverReplaced) {
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  const std::string input = FitsFile(Header(32), Be32({1}));
  Write("img.fit", input);
  ASSERT_EQ(chmod(Path("img.fit").c_str(), 0444), 0);
  const RunResult run = Run({"img.fit"}, {.as_unprivileged = true});
  EXPECT_TRUE(run.err.starts_with("img.fit\nError: cannot open 'img.fit': Permission denied\n")) << run.err;
  EXPECT_EQ(Read("img.fit"), input);
}

// An access ACL (user nobody rw-, group r--, mask rw-): lost, mode 0660 gives the group write access.
std::string AccessAcl() {
  std::string acl = {2, 0, 0, 0};
  const auto entry = [&acl](std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
    for (int k = 0; k < 2; ++k) acl += static_cast<char>((tag >> (8 * k)) & 0xff);
    for (int k = 0; k < 2; ++k) acl += static_cast<char>((perm >> (8 * k)) & 0xff);
    for (int k = 0; k < 4; ++k) acl += static_cast<char>((id >> (8 * k)) & 0xff);
  };
  entry(0x01, 6, 0xffffffff);
  entry(0x02, 6, 65534);
  entry(0x04, 4, 0xffffffff);
  entry(0x10, 6, 0xffffffff);
  entry(0x20, 0, 0xffffffff);
  return acl;
}

TEST_F(Replace, AclsExtendedAttributesAndSetIdBitsAreKept) {
  const std::string acl = AccessAcl();
  Write("img.fit", FitsFile(Header(32), Be32({1})));
  const std::string path = Path("img.fit");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  if (setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0 ||
      setxattr(path.c_str(), "user.note", "m42", 3, 0) != 0) {
    GTEST_SKIP() << "this filesystem keeps no ACLs or user attributes";
  }
  Run({"img.fit"});
  std::string copy(acl.size(), '\0');
  EXPECT_EQ(getxattr(path.c_str(), "system.posix_acl_access", copy.data(), copy.size()),
            static_cast<ssize_t>(acl.size()));
  EXPECT_EQ(copy, acl);
  char note[8] = {};
  EXPECT_EQ(getxattr(path.c_str(), "user.note", note, sizeof note), 3);
  EXPECT_STREQ(note, "m42");
  EXPECT_EQ(Pixels32(Read("img.fit")).at(0), 2147483650u);

  // A set-user-ID bit set before the data is written is cleared by the write.
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: no unprivileged writer";
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the images are given to other users";
  Write("suid.fit", FitsFile(Header(32), Be32({1})));
  ASSERT_EQ(chown(Path("suid.fit").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(Path("suid.fit").c_str(), 04755), 0);
  EXPECT_TRUE(Run({"suid.fit"}, {.as_unprivileged = true}).err.ends_with("\tOK\n"));
  struct stat info {};
  ASSERT_EQ(stat(Path("suid.fit").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 04755u);

  // Someone else's file, repaired by a member of its group or by anyone its
  // mode lets write: a new copy would be the runner's, so the image is
  // written through and keeps its owner, its group and its inode. (A copy
  // under the runner's group once gave a group with less than others (0646),
  // or shut out (0606), the access of others.)
  const std::string input = FitsFile(Header(32), Be32({1}));
  for (const auto& [group, mode] : std::vector<std::pair<gid_t, mode_t>>{{100, 0660}, {5678, 0646}, {5678, 0606}}) {
    Write("shared.fit", input);
    ASSERT_EQ(chown(Path("shared.fit").c_str(), 0, group), 0);
    ASSERT_EQ(chmod(Path("shared.fit").c_str(), mode), 0);
    const RunResult run = RunProgram({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--groups=100", "--",
                                      CORVANE_BINARY, "shared.fit"});
    ASSERT_EQ(stat(Path("shared.fit").c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, group);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 07777, mode);
    EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
    EXPECT_EQ(Pixels32(Read("shared.fit")).at(0), 2147483650u);
    EXPECT_NE(Read("shared.fit").find("Mangled by CORVANE"), std::string::npos);
  }
}

TEST_F(Output, StandardOutputIsWrittenAtItsOwnPosition) {
  // Opened again at offset 0: a second image went over the first, ">>" overwrote, a socket failed.
  Write("a.fit", FitsFile(Header(32), Be32({1, 2, 3})));
  Write("b.fit", FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({1})));
  ASSERT_TRUE(Run({"-out", "a.out", "a.fit"}).err.ends_with("\tOK\n") && Run({"-out", "b.out", "b.fit"}).status == 0);
  const std::string both = Read("a.out") + Read("b.out");
  for (const auto& [shell, expected] : std::vector<std::pair<std::string, std::string>>{
           {"\"$0\" -out /dev/stdout a.fit b.fit > o.fit", both},
           {"printf archive > o.fit && \"$0\" -out /dev/fd/1 a.fit b.fit >> o.fit", "archive" + both},
           {"\"$0\" -out /dev/stdout a.fit >&- || printf refused > o.fit", "refused"}}) {
    EXPECT_EQ(RunProgram({"/bin/sh", "-c", shell, CORVANE_BINARY}).status, 0);
    EXPECT_EQ(Read("o.fit"), expected) << shell;
  }
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  if (fork() == 0) {
    dup2(ends[1], 1);
    if (chdir(dir_.c_str()) == 0) execl(CORVANE_BINARY, "corvane", "-out", "/proc/self/fd/1", "a.fit", "b.fit", nullptr);
    _exit(127);
  }
  close(ends[1]);
  std::string got(both.size() + 1, '\0');
  got.resize(static_cast<std::size_t>(std::max<ssize_t>(0, recv(ends[0], got.data(), got.size(), MSG_WAITALL))));
  close(ends[0]);
  wait(nullptr);
  EXPECT_EQ(got, both);
}

TEST_F(Output, AnExistingOutputKeepsWhatCpKeepsAndRefusesWhatCpRefuses) {
  // One with an ACL came back as plain mode 0660, and a write-protected one was replaced, OK.
  Write("in.fit", FitsFile(Header(32), Be32({1})));
  Write("out.fit", "old");
  const std::string acl = AccessAcl();
  if (chmod(Path("out.fit").c_str(), 0660) != 0 ||
      setxattr(Path("out.fit").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
    GTEST_SKIP() << "this filesystem keeps no ACLs";
  }
  EXPECT_TRUE(Run({"-out", "out.fit", "in.fit"}).err.ends_with("\tOK\n"));
  char copy[64] = {};
  EXPECT_EQ(getxattr(Path("out.fit").c_str(), "system.posix_acl_access", copy, sizeof copy), std::ssize(acl));
  EXPECT_EQ(std::string(copy, acl.size()), acl);
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  const std::string before = Read("out.fit");
  ASSERT_EQ(chmod(Path("out.fit").c_str(), 0444), 0);
  // Root runs the program as nobody, who must own the output for the refusal to be cp's.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(Path("out.fit").c_str(), 65534, 65534), 0);
  }
  const RunResult run = Run({"-out", "out.fit", "in.fit"}, {.as_unprivileged = true});
  EXPECT_TRUE(run.status == 1 && run.err.ends_with("Error: 'out.fit' cannot be written: Permission denied\n"
                                                    "Cannot open output file [out.fit]\n")) << run.err;
  EXPECT_EQ(Read("out.fit"), before);
}

}  // namespace
}  // namespace corvane::testing
