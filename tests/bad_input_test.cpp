// Bad input, end to end: truncated files at every length, random bytes,
// control bytes in headers, files past 2 GiB and unusual names. Nothing may
// crash, the exit status follows the rules, and files stay untouched where
// nothing was written.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "helpers.h"

namespace corvane::testing {
namespace {


using BadInput = Scratch;

const std::string kBzero32768 = ValueCard("BZERO", "32768");

std::string Numbered(const char* prefix, int n) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%04d.fit", prefix, n);
  return name;
}

TEST_F(BadInput, TruncatedFilesOfEveryLengthUpToOneByteOfData) {
  const std::string whole = FitsFile(Header(16, {kBzero32768}), Be16({7}));
  ASSERT_EQ(mkdir(Path("cut").c_str(), 0777), 0);
  for (int length = 0; length <= 2881; ++length) Write("cut/" + Numbered("len", length), whole.substr(0, length));
  const RunResult run = Run({"cut"});
  ASSERT_EQ(run.status, 1);  // the cut files failed
  // After the count, the first 20 of the files that failed, then how many more.
  const std::size_t list = run.err.find("\n2882 files: 2 repaired, 0 skipped, 2880 failed\nFailed:\n");
  ASSERT_NE(list, std::string::npos);
  EXPECT_EQ(std::count(run.err.begin() + static_cast<long>(list), run.err.end(), '\t'), 21);
  EXPECT_TRUE(run.err.ends_with("\tand 2860 more\n"));
  for (int length = 0; length < 2880; ++length) {
    const std::string name = "cut/" + Numbered("len", length);
    const std::string reported = Entry("cut", Numbered("len", length));
    ASSERT_NE(run.err.find("Error reading header line " + std::to_string(length / 80 + 1) + " in " + reported + "\n"),
              std::string::npos)
        << name;
    ASSERT_EQ(Read(name), whole.substr(0, length)) << name;
  }
  EXPECT_EQ(Read("cut/len2880.fit").size(), 2880u);  // header only: marked, no data
  EXPECT_TRUE(Card(Read("cut/len2880.fit"), 5).starts_with("COMMENT =Mangled by CORVANE"));
  EXPECT_EQ(Read("cut/len2881.fit").size(), 5760u);  // one byte of data, then fill
}

TEST_F(BadInput, RandomBytesNeverCrashAndAreEitherKeptOrWrittenWhole) {
  std::mt19937 random(5);
  ASSERT_EQ(mkdir(Path("noise").c_str(), 0777), 0);
  std::vector<std::string> before;
  for (int i = 0; i < 60; ++i) {
    std::string bytes(random() % 9000, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    if (i % 2 == 0 && bytes.size() >= 2880) {
      // A plausible header over random data and random cards.
      const std::string header = FitsFile(Header(i % 4 == 0 ? 16 : 32, {kBzero32768}));
      bytes.replace(0, 6 * 80, header.substr(0, 6 * 80));
    }
    Write("noise/" + Numbered("rnd", i), bytes);
    before.push_back(bytes);
  }
  const RunResult run = Run({"noise"});
  ASSERT_EQ(run.status, 1) << run.err;  // random bytes are no FITS file
  int written = 0;
  for (int i = 0; i < 60; ++i) {
    const std::string after = Read("noise/" + Numbered("rnd", i));
    if (after == before[i]) continue;
    ++written;
    EXPECT_EQ(after.size() % 2880, 0u) << i;
    EXPECT_GE(after.size(), before[i].size()) << i;
    EXPECT_EQ(after.substr(0, 80), before[i].substr(0, 80)) << i;
  }
  EXPECT_GT(written, 0);
  EXPECT_EQ(Listing(), std::vector<std::string>{"noise"});
}

TEST_F(BadInput, NulAndControlBytesInCards) {
  std::vector<std::string> cards = Header(16, {std::string("BZERO\0\0\0= 32768", 16), std::string("HISTORY \x01\x7f\n\t", 12),
                                               std::string("BZERO     no equals \0 here", 27)});
  cards[1] = "BITPIX  =\t16";
  Write("ctl.fit", FitsFile(cards, Be16({3})));
  const RunResult run = Run({"ctl.fit"});
  EXPECT_EQ(run.status, 0);
  // The card without "=" is printed up to its NUL byte; a BZERO of -1 then skips the file.
  EXPECT_EQ(run.err, "ctl.fit\n\tBPP 16\n\tBZERO 32768\nFormat error parsing header line 'BZERO     no equals '\n"
                     "\tBZERO -1\n\tLooks like this file does not need fixing. Skipping...\n");
  std::vector<std::string> nul_end = Header(32);
  nul_end.back() = std::string("END \0\0\0", 7);
  Write("nulend.fit", FitsFile(nul_end, Be32({3})));
  EXPECT_TRUE(Run({"nulend.fit"}).err.ends_with("\tOK\n"));
}

// Creates a file of `size` bytes holding only `head`, as a sparse file; false
// when the file system stores the hole.
bool MakeSparse(const std::string& path, const std::string& head, off_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) && ftruncate(fd, size) == 0;
  struct stat info {};
  const bool sparse = ok && fstat(fd, &info) == 0 && info.st_blocks * 512 < size / 2;
  close(fd);
  return sparse;
}

TEST_F(BadInput, FilesOfTwoGibibytesAndMoreKeepTheirSize) {
  constexpr off_t kSize = (off_t{1} << 31) + 2 * 2880;
  if (!MakeSparse(Path("big16.fit"), FitsFile(Header(16, {ValueCard("BZERO", "0")})), kSize)) {
    GTEST_SKIP() << "this file system does not keep sparse files";
  }
  RunResult run = Run({"big16.fit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "big16.fit\n\tBPP 16\n\tBZERO 0\n\tLooks like this file does not need fixing. Skipping...\n");
  // A whole pass over 2 GiB of data, written where it costs nothing.
  ASSERT_TRUE(MakeSparse(Path("big.fit"), FitsFile(Header(-32)), kSize));
  run = Run({"-out", "/dev/null", "big.fit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "big.fit\n\tBPP -32\n\t[ADD 0, SCALE 1.00, BZERO 0]\n\tOK\n");
}

TEST_F(BadInput, ADataAreaLargerThanTheMemoryAvailableIsRepaired) {
  // The data area streams through a fixed buffer; it was once read whole, and
  // 1 GiB of data then failed under a 256 MiB address-space limit.
  if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer reserves more address space than this test allows";
  constexpr off_t kSize = (off_t{1} << 30) + 2880;  // 1 GiB of data
  if (!MakeSparse(Path("huge.fit"), FitsFile(Header(-32)), kSize)) GTEST_SKIP() << "no sparse files here";
  const RunResult run = Run({"-out", "/dev/null", "huge.fit"}, {.memory_limit = 64LL << 20});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "huge.fit\n\tBPP -32\n\t[ADD 0, SCALE 1.00, BZERO 0]\n\tOK\n");
  // Two files under 8 MiB, too little for the stack of a thread to commit them: the run ended in std::terminate.
  Write("a.fit", FitsFile(Header(32), Be32({1})));
  EXPECT_TRUE(Run({"a.fit", "a.fit"}, {.memory_limit = 8LL << 20})
                  .err.ends_with("2 files: 1 repaired, 1 skipped, 0 failed\n"));
}

TEST_F(BadInput, NamesWithSpacesAndNonAsciiLetters) {
  const std::string spaced = "my image \xc3\xa4.fit";  // UTF-8
  const std::string inside = "\xce\xb1 Ori.FIT";
  ASSERT_EQ(mkdir(Path("odd dir").c_str(), 0777), 0);
  Write(spaced, FitsFile(Header(32), Be32({1})));
  Write("odd dir/" + inside, FitsFile(Header(32), Be32({1})));
  const RunResult run = Run({spaced, "odd dir/"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.starts_with(spaced + "\n")) << run.err;
  EXPECT_NE(run.err.find(Entry("odd dir", inside) + "\n"), std::string::npos) << run.err;
  EXPECT_EQ(Pixels32(Read(spaced)).at(0), 2147483650u);
  EXPECT_EQ(Pixels32(Read("odd dir/" + inside)).at(0), 2147483650u);
}

TEST_F(BadInput, NamesThatAreNoTextAtAll) {
  const std::string raw_bytes = "\xff\xfe\x01.fit";  // no valid UTF-8: a POSIX name is bytes
  Write(raw_bytes, FitsFile(Header(32), Be32({1})));
  const RunResult run = Run({"."});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err.find("./" + raw_bytes + "\n"), 0u) << run.err;
  EXPECT_EQ(Pixels32(Read(raw_bytes)).at(0), 2147483650u);
}

}  // namespace
}  // namespace corvane::testing
