// Fault tests: the tool runs with a preloaded library that fails its N-th
// write-family call, for every N of a run, or interrupts it there with a
// signal. After each, an in-place original is either intact or completely
// replaced, no temporary file remains, and the next file is still repaired.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "helpers.h"

namespace corvane::testing {
namespace {

class Faults : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    input_ = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(3000, 9)));
  }

  // The names of the counted calls a clean run of `args` makes, in order.
  std::vector<std::string> CallsOf(const std::vector<std::string>& args) {
    Write("a.fit", input_);
    const std::string log = Path("../" + dir_.substr(dir_.rfind('/') + 1) + ".calls");
    unlink(log.c_str());
    Run(args, {.env = {Preload(), "CORVANE_FAULT_LOG=" + log}});
    std::ifstream in(log);
    std::vector<std::string> calls;
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    unlink(log.c_str());
    return calls;
  }

  RunResult RunWithFault(const std::vector<std::string>& args, std::size_t call, const std::string& mode) {
    Write("a.fit", input_);
    Write("b.fit", input_);
    return Run(args, {.env = {Preload(), "CORVANE_FAULT_CALL=" + std::to_string(call),
                              "CORVANE_FAULT_MODE=" + mode}});
  }

  static std::string Preload() { return std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY; }

  std::string input_;
};

TEST_F(Faults, EveryFailedWriteInPlaceLeavesTheOriginalIntact) {
  // Header, data, fill, the file's flush and the rename; then, once the run
  // ends, the directory's flush.
  const std::vector<std::string> calls = CallsOf({"a.fit"});
  ASSERT_EQ(calls, (std::vector<std::string>{"write", "write", "write", "fsync", "rename", "fsync"}));
  for (const std::string mode : {"enospc", "eio", "short"}) {
    for (std::size_t n = 1; n < calls.size(); ++n) {
      SCOPED_TRACE(mode + " at call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      const RunResult run = RunWithFault({"-add", "1", "a.fit", "b.fit"}, n, mode);
      EXPECT_EQ(run.status, 0);
      const std::string a_report = run.err.substr(0, run.err.find("b.fit\n"));
      EXPECT_EQ(a_report.find("\tOK"), std::string::npos) << a_report;
      // The image is untouched, and the report says so even after "Short write".
      EXPECT_NE(a_report.find("left unchanged"), std::string::npos) << a_report;
      EXPECT_EQ(Read("a.fit"), input_);
      EXPECT_TRUE(run.err.ends_with("b.fit\n\tBPP 16\n\tBZERO 32768\n\t[ADD 1, SCALE 1.00, BZERO 32768]\n\tOK\n"))
          << run.err;
      EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
    }
  }
}

TEST_F(Faults, AFailedDirectoryFlushAfterTheRenameIsNoFailureOfTheFile) {
  const std::vector<std::string> calls = CallsOf({"a.fit"});
  ASSERT_EQ(calls.back(), "fsync");
  Write("a.fit", input_);
  const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {Preload(), "CORVANE_FAULT_CALL=" + std::to_string(calls.size()),
                                                             "CORVANE_FAULT_MODE=eio"}});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
  EXPECT_EQ(Pixels16(Read("a.fit")).at(0), 10);
  EXPECT_EQ(Listing(), std::vector<std::string>{"a.fit"});
}

TEST_F(Faults, EveryFailedWriteToAnOutputFileIsReported) {
  const std::vector<std::string> calls = CallsOf({"-out", "out.fit", "a.fit"});
  ASSERT_EQ(calls, (std::vector<std::string>{"write", "write", "write"}));  // header, data, fill
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    const RunResult run = RunWithFault({"-out", "out.fit", "a.fit", "b.fit"}, n, "enospc");
    const std::string a_report = run.err.substr(0, run.err.find("b.fit\n"));
    EXPECT_EQ(a_report.find("\tOK"), std::string::npos);
    EXPECT_NE(a_report.find("Short write"), std::string::npos);
    EXPECT_EQ(Read("a.fit"), input_);
    EXPECT_TRUE(run.err.ends_with("\tOK\n"));  // b.fit went to the output file
    EXPECT_EQ(Read("out.fit").size(), 4u * 2880u);  // header, 6000 bytes of data, fill
  }
}

TEST_F(Faults, AShortReadOfTheDataIsReportedAndNothingIsWritten) {
  Write("a.fit", input_);
  // The first read takes the header block, the second the data area.
  const RunResult run = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_READ=2"}});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "a.fit\n\tBPP 16\n\tBZERO 32768\nShort read on file 'a.fit', wanted 6000 bytes\n");
  EXPECT_EQ(Read("a.fit"), input_);
  EXPECT_EQ(Listing(), std::vector<std::string>{"a.fit"});
}

TEST_F(Faults, AFilesystemWithoutPermissionsIsRepairedUnlessAccessWouldWiden) {
  // FAT through FUSE refuses every mode (ENOSYS): the copy keeps its own 0600,
  // no wider than the original's 0644, so the repair goes on.
  Write("a.fit", input_);
  RunResult run = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_FCHMOD=enosys"}});
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
  EXPECT_EQ(Pixels16(Read("a.fit")).at(0), 9);
  // A read-only original would become writable: refused.
  Write("a.fit", input_);
  ASSERT_EQ(chmod(Path("a.fit").c_str(), 0400), 0);
  run = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_FCHMOD=1"}});
  EXPECT_TRUE(run.err.ends_with("Error: 'a.fit' left unchanged, cannot give the new copy its permissions: "
                                "cannot set its mode: Operation not permitted\n"))
      << run.err;
  EXPECT_EQ(Read("a.fit"), input_);
  EXPECT_EQ(Listing(), std::vector<std::string>{"a.fit"});
}

TEST_F(Faults, AnInterruptedRunLeavesTheOriginalAndNoTemporaryFile) {
  const std::vector<std::string> calls = CallsOf({"a.fit"});
  const std::vector<std::pair<std::string, int>> signals = {{"int", 2},  {"term", 15}, {"hup", 1},
                                                            {"quit", 3}, {"pipe", 13}, {"xfsz", 25}};
  for (const auto& [mode, number] : signals) {
    for (std::size_t n = 1; n < calls.size(); ++n) {  // every point before the rename
      SCOPED_TRACE(mode + " at call " + std::to_string(n));
      const RunResult run = RunWithFault({"a.fit", "b.fit"}, n, mode);
      EXPECT_EQ(run.status, 128 + number);
      EXPECT_EQ(Read("a.fit"), input_);
      EXPECT_EQ(Read("b.fit"), input_);
      EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
    }
  }
}

}  // namespace
}  // namespace corvane::testing
