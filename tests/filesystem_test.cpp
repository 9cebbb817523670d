// End-to-end tests on filesystems mounted from an image file (root only; skipped, with the reason, where
// this machine cannot): btrfs under a quota, exFAT and FAT, which ignore case.
#include <unistd.h>

#include "helpers.h"

namespace corvane::testing {
namespace {

class Filesystems : public Scratch {
 protected:
  // Makes "img" and mounts it on "m" with the shell command `make`; returns why it cannot, or nothing.
  std::string Mount(const std::string& make) const {
    if (geteuid() != 0) return "only root can mount a filesystem";
    const RunResult made = RunProgram({"/bin/sh", "-c", "umount m; rm -rf img m; truncate -s 160M img && mkdir m && (" +
                                                            make + ") >/dev/null"});
    return made.status == 0 ? std::string() : "this machine cannot mount it here: " + made.err;
  }
  void TearDown() override {
    RunProgram({"/bin/sh", "-c", "umount m 2>/dev/null"});
    Scratch::TearDown();
  }
};

TEST_F(Filesystems, AWriteThroughNeverStartsWhatAQuotaOrTheSizeLimitWouldStop) {
  // A qgroup limit (btrfs rewrites into new blocks) or ulimit -f stopped the rewrite half way (or with SIGXFSZ).
  // Rows: folder (a subvolume of 20 MiB), ulimit -f (512-byte blocks), pixels, written through, what is said.
  const std::string no_btrfs = Mount("mkfs.btrfs -q img && mount -o loop img m && btrfs quota enable m && "
                                     "btrfs subvolume create m/q && btrfs qgroup limit 20M m/q");
  for (const auto& [where, limit, pixels, through, said] : std::vector<std::tuple<std::string, std::string, std::size_t, bool, std::string>>{
           {"m/q/", "unlimited", 5500000, true, "left unchanged, no room for the repaired file: Disk quota exceeded"},
           {"m/q/", "unlimited", 1000000, true, ""},
           {"", "8", 3000, true, "left unchanged, no room for the repaired file: File too large"},
           {"", "8", 3000, false, "left unchanged, the new copy could not be written: File too large"}}) {
    if (!where.empty() && !no_btrfs.empty()) continue;
    SCOPED_TRACE(where + ": " + std::to_string(pixels) + " pixels under ulimit -f " + limit);
    const std::string input = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(pixels, 9)));
    Write(where + "a.fit", input);
    const RunResult run = RunProgram({"/bin/sh", "-c", "ulimit -f " + limit + " && LD_PRELOAD=\"$1\" exec \"$0\" -add 1 " +
                                      where + "a.fit", CORVANE_BINARY, CORVANE_FAULT_LIBRARY},
                                     {.env = {through ? "CORVANE_FAULT_CREATE=eacces" : "X=1"}});
    EXPECT_EQ(run.status, said.empty() ? 0 : 1) << run.err;
    EXPECT_TRUE(run.err.ends_with(said.empty() ? "\tOK\n" : "Error: '" + where + "a.fit' " + said + "\n")) << run.err;
    EXPECT_EQ(Read(where + "a.fit") == input, !said.empty());
  }
  if (!no_btrfs.empty()) GTEST_SKIP() << "btrfs with a quota: " << no_btrfs;
}

TEST_F(Filesystems, AFolderWithRoomForOneCopyAtATimeIsRepairedWholeAndFlushedFileByFile) {
  // syncfs flushed no FUSE daemon, so copies were renamed unflushed; a waiting copy held the next one's room
  // (with one free inode, the next copy could not even be created).
  for (const std::string make : {"mount -t tmpfs -o size=4M tmpfs m", "mkfs.exfat img && mount -t exfat-fuse -o "
                                 "loop img m && (cat /dev/zero > m/fill 2>/dev/null; truncate -s -3200K m/fill)",
                                 "mount -t tmpfs -o size=8M,nr_inodes=4 tmpfs m"}) {
    if (const std::string why = Mount(make); !why.empty()) GTEST_SKIP() << why;
    for (const std::size_t pixels : {1, 1 << 19}) {
      const std::string input =
          FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(pixels, 9)));
      Write("m/a.fit", input);
      Write("m/b.fit", input);
      unlink(Path("calls").c_str());
      EXPECT_TRUE(Run({"m"}, {.env = {std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY, "CORVANE_FAULT_LOG=" +
                                      Path("calls")}}).err.ends_with("2 files: 2 repaired, 0 skipped, 0 failed\n"));
      EXPECT_EQ(Read("calls").find("syncfs"), std::string::npos) << make;
    }
  }
}

TEST_F(Filesystems, ANameKeepsItsLettersWhereCaseIsIgnored) {
  // "M42.FIT" renamed m42.fit, "-out OUT.FIT" renamed out.fit, "-out M42.FIT m42.fit" overwrote the input.
  for (const std::string make : {"mkfs.exfat img && mount -t exfat-fuse -o loop img m",
                                 "mkfs.vfat img && fusefat -o rw+ img m"}) {
    if (const std::string why = Mount(make); !why.empty()) GTEST_SKIP() << why;
    Write("m/m42.fit", FitsFile(Header(32), Be32({1})));
    Write("m/out.fit", "old");
    const bool accents = make.starts_with("mkfs.exfat");  // fusefat takes no such name
    EXPECT_EQ(Run({"-out", "m/M42.FIT", "m/m42.fit"}).status, 1);
    if (accents) {
      Write("m/\xC3\xA4.fit", FitsFile(Header(32), Be32({1})));
      EXPECT_EQ(Run({"-out", "m/\xC3\x84.FIT", "m/\xC3\xA4.fit"}).status, 1);
      EXPECT_TRUE(Run({"m/\xC3\x84.FIT"}).err.ends_with("\tOK\n"));
    }
    EXPECT_TRUE(Run({"-out", "m/OUT.FIT", "m/M42.FIT"}).err.ends_with("\tOK\n"));
    EXPECT_TRUE(Run({"m/M42.FIT"}).err.ends_with("\tOK\n"));
    EXPECT_EQ(RunProgram({"ls", "-A", "m"}, {.env = {"LC_ALL=C"}}).out,
              accents ? "m42.fit\nout.fit\n\xC3\xA4.fit\n" : "m42.fit\nout.fit\n")
        << make;
    EXPECT_EQ(Pixels32(Read("m/out.fit")).at(0), 2147483650u);
  }
}

}  // namespace
}  // namespace corvane::testing
