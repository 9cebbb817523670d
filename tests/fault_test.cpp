// Fault tests: the tool runs with a preloaded library that fails its N-th
// write-family call, for every N of a run, or interrupts it there with a
// signal. After each, an in-place original is either intact or completely
// replaced, no temporary file remains, and the next file is still repaired.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
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
  std::vector<std::string> CallsOf(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
    Write("a.fit", input_);
    const std::string log = Path("../" + dir_.substr(dir_.rfind('/') + 1) + ".calls");
    unlink(log.c_str());
    env.insert(env.end(), {Preload(), "CORVANE_FAULT_LOG=" + log});
    Run(args, {.env = env});
    std::ifstream in(log);
    std::vector<std::string> calls;
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    unlink(log.c_str());
    return calls;
  }

  RunResult RunWithFault(const std::vector<std::string>& args, std::size_t call, const std::string& mode,
                         const std::string& setting = "CORVANE_UNUSED=1") {
    Write("a.fit", input_);
    Write("b.fit", input_);
    return Run(args, {.env = {Preload(), "CORVANE_FAULT_CALL=" + std::to_string(call),
                              "CORVANE_FAULT_MODE=" + mode, setting}});
  }

  RunResult RunWhile(const std::vector<std::string>& args, const std::string& at, const std::string& command,
                     std::vector<std::string> env = {});

  static std::string Preload() { return std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY; }

  // The lines the report gives file `name`, up to the next file of `names` or the count line.
  static std::string BlockOf(const std::string& err, const std::string& name, const std::vector<std::string>& names) {
    std::size_t start = err.starts_with(name + "\n") ? 0 : err.find("\n" + name + "\n");
    if (start == std::string::npos) return std::string();
    start += err[start] == '\n' ? 1 : 0;
    std::size_t end = err.find(" files: ", start);
    for (const std::string& other : names) {
      if (other != name) end = std::min(end, err.find("\n" + other + "\n", start));
    }
    end = err.rfind('\n', end);
    return err.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
  }

  std::string input_;
};

TEST_F(Faults, EveryFailedCallOfABatchLeavesEachImageWholeAndSaysWhich) {
  // Three copies written, their data flushed together, three renames and one
  // folder flush: whichever call fails, each image is the original with an
  // error line or the whole repair with OK (or an error saying it holds it).
  const std::vector<std::string> names = {"a.fit", "b.fit", "c.fit"};
  const std::vector<std::string> args = {"-add", "1", "a.fit", "b.fit", "c.fit"};
  for (const std::string& name : names) Write(name, input_);
  const std::vector<std::string> calls = CallsOf(args);
  ASSERT_EQ(std::count(calls.begin(), calls.end(), "rename"), 3) << ::testing::PrintToString(calls);
  ASSERT_EQ(calls.back(), "fsync");
  const std::string repaired = Read("a.fit");
  for (const std::string mode : {"enospc", "eio", "short"}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE(mode + " at call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      Write("c.fit", input_);
      const RunResult run = RunWithFault(args, n, mode);
      int failed = 0;
      for (const std::string& name : names) {
        const std::string block = BlockOf(run.err, name, names);
        const bool ok = block.ends_with("\tOK\n");
        const bool holds = block.find("' holds the repair") != std::string::npos;
        EXPECT_TRUE(ok || holds || block.find("' left unchanged") != std::string::npos) << block;
        EXPECT_EQ(block.find("damaged"), std::string::npos) << block;  // said once, no "Short write ... damaged"
        EXPECT_EQ(Read(name), ok || holds ? repaired : input_) << block;
        failed += ok ? 0 : 1;
      }
      EXPECT_EQ(run.status, failed > 0 ? 1 : 0);
      EXPECT_NE(run.err.find("3 files: " + std::to_string(3 - failed) + " repaired, 0 skipped, " +
                             std::to_string(failed) + " failed\n"), std::string::npos) << run.err;
      EXPECT_EQ(Listing(), names);
    }
  }
}

TEST_F(Faults, EveryFailedReadOrWriteOfAStreamedStretchLeavesTheOriginal) {
  // Three chunks, read once for the maximum and once to be written: a fault at
  // any read of either pass, or any write, must leave the image as it was.
  input_ = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), std::string(2880 * 364 * 3 - 100, '\x11'));
  const std::vector<std::string> calls = CallsOf({"-stretch", "a.fit"});
  ASSERT_EQ(calls.size(), 8u);  // header, three chunks, fill, flush, rename, folder flush
  for (std::size_t n = 1; n + 1 < calls.size(); ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    RunWithFault({"-stretch", "a.fit"}, n, "enospc");
    EXPECT_EQ(Read("a.fit"), input_);
  }
  for (int n = 2; n <= 8; ++n) {  // after the header: three chunks, the end-of-file probe, three chunks again
    SCOPED_TRACE("read " + std::to_string(n));
    Write("a.fit", input_);
    const RunResult run = Run({"-stretch", "a.fit"}, {.env = {Preload(), "CORVANE_FAULT_READ=" + std::to_string(n)}});
    EXPECT_EQ(Read("a.fit") == input_, n != 5) << run.err;  // the probe finding the end is no fault
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
  }
}

TEST_F(Faults, AFailedFolderFlushAfterTheRenameIsReportedInsteadOfOK) {
  // The name may not be on disk: a power cut could bring the original back.
  const std::vector<std::string> calls = CallsOf({"a.fit"});
  ASSERT_EQ(calls, (std::vector<std::string>{"write", "write", "write", "fdatasync", "rename", "fsync"}));
  Write("a.fit", input_);
  const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {Preload(), "CORVANE_FAULT_CALL=" + std::to_string(calls.size()),
                                                             "CORVANE_FAULT_MODE=eio"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.ends_with("]\nError: 'a.fit' holds the repair, but its folder could not be flushed to disk "
                                "(Input/output error): a power cut may still bring back the original\n")) << run.err;
  EXPECT_EQ(Pixels16(Read("a.fit")).at(0), 10);
  EXPECT_EQ(Listing(), std::vector<std::string>{"a.fit"});
}

TEST_F(Faults, EveryFailedReadOrWriteOfAOnePassRewriteLeavesTheOriginal) {
  // Three chunks checked while the copy is written: a fault at any read or
  // write leaves the image as it was, or (a probe past the end that finds
  // nothing) wholly repaired, and never a temporary file.
  input_ = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), std::string(2880 * 364 * 3 - 100, '\x11'));
  const std::vector<std::string> calls = CallsOf({"-add", "1", "a.fit"});
  ASSERT_EQ(calls.size(), 8u);  // header, three chunks, fill, flush, rename, folder flush
  Write("a.fit", input_);
  ASSERT_TRUE(Run({"-add", "1", "a.fit"}).err.ends_with("\tOK\n"));
  const std::string repaired = Read("a.fit");
  for (std::size_t n = 1; n + 1 < calls.size(); ++n) {
    SCOPED_TRACE("call " + std::to_string(n));
    const RunResult run = RunWithFault({"-add", "1", "a.fit"}, n, "enospc");
    EXPECT_NE(run.err.find("left unchanged"), std::string::npos) << run.err;
    EXPECT_EQ(Read("a.fit"), input_);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
  }
  // Header, the first chunk, the three chunks again, then the probe past the
  // end, which finding nothing is what it expects.
  for (int n = 1; n <= 6; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    Write("a.fit", input_);
    const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {Preload(), "CORVANE_FAULT_READ=" + std::to_string(n)}});
    const bool done = run.err.ends_with("\tOK\n");
    EXPECT_EQ(done, n == 6) << run.err;
    EXPECT_EQ(Read("a.fit"), done ? repaired : input_);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
  }
}

TEST_F(Faults, EveryFailedWriteToAnOutputFileLeavesTheOldOutputWhole) {
  // The output was emptied before it was written: a full disk lost the old
  // output, and the error named the input.
  const std::vector<std::string> calls = CallsOf({"-out", "out.fit", "a.fit"});
  // Header, data, fill, the new copy's flush, the rename, the folder's flush.
  ASSERT_EQ(calls, (std::vector<std::string>{"write", "write", "write", "fsync", "rename", "fsync"}));
  const std::string old = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({1, 2, 3}));
  for (const std::string mode : {"enospc", "eio", "short"}) {
    for (std::size_t n = 1; n < calls.size(); ++n) {
      SCOPED_TRACE(mode + " at call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      Write("out.fit", old);
      const RunResult run = RunWithFault({"-out", "out.fit", "a.fit"}, n, mode);
      EXPECT_EQ(run.err.find("\tOK"), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("Error: 'out.fit' left as it was"), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find("damaged"), std::string::npos) << run.err;
      EXPECT_EQ(Read("out.fit"), old);
      EXPECT_EQ(Read("a.fit"), input_);
      EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit", "out.fit"}));
    }
  }
  // A new output that fails is not created at all.
  unlink(Path("out.fit").c_str());
  const RunResult run = RunWithFault({"-out", "out.fit", "a.fit"}, 2, "enospc");
  EXPECT_NE(run.err.find("Error: 'out.fit' not created, the new copy could not be written: No space left on device"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
}

TEST_F(Faults, AShortReadOfTheDataIsReportedAndNothingIsWritten) {
  // The second read takes the data area: its short-read line once stood alone, without cause or outcome.
  for (const auto& [fault, cause] : std::vector<std::pair<std::string, std::string>>{
           {"CORVANE_UNUSED=1", "it is shorter than when it was opened"},
           {"CORVANE_FAULT_READ_EIO=1", "Input/output error"}}) {
    Write("a.fit", input_);
    const RunResult run = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_READ=2", fault}});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "a.fit\n\tBPP 16\n\tBZERO 32768\nShort read on file 'a.fit', wanted 6000 bytes\n"
                       "Error: 'a.fit' left unchanged, its data could not be read: " + cause + "\n");
    EXPECT_EQ(Read("a.fit"), input_);
  }
  // A disk error in the header once read like an empty file: the cause is said.
  const RunResult header = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_READ=1", "CORVANE_FAULT_READ_EIO=1"}});
  EXPECT_EQ(header.status, 1);
  EXPECT_EQ(header.err, "a.fit\nError reading header line 1 in a.fit: Input/output error\n");
  EXPECT_EQ(Read("a.fit"), input_);
  EXPECT_EQ(Listing(), std::vector<std::string>{"a.fit"});
}

TEST_F(Faults, AFilesystemWithoutPermissionsIsRepairedUnlessAccessWouldWiden) {
  // FAT through FUSE refuses every mode (ENOSYS): the copy keeps its own 0600,
  // no wider than the original's 0644, so the repair goes on.
  Write("a.fit", input_);
  // The report once kept quiet about the mode the image now has.
  RunResult run = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_FCHMOD=enosys"}});
  EXPECT_TRUE(run.err.ends_with("\tNote: its filesystem refused mode 0644; it now has mode 0600\n\tOK\n")) << run.err;
  EXPECT_EQ(Pixels16(Read("a.fit")).at(0), 9);
  // Nothing to note when the mode is the one asked for (it was said of every file).
  Write("a.fit", input_);
  ASSERT_EQ(chmod(Path("a.fit").c_str(), 0600), 0);
  EXPECT_TRUE(Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_FCHMOD=enosys"}}).err.ends_with("]\n\tOK\n"));
  // A disk error is no filesystem without permissions: the image went from
  // 0640 to 0600 with OK.
  Write("a.fit", input_);
  ASSERT_EQ(chmod(Path("a.fit").c_str(), 0640), 0);
  run = Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_FCHMOD=eio"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.ends_with("Error: 'a.fit' left unchanged, cannot give the new copy its permissions: "
                                "cannot set its mode: Input/output error\n"))
      << run.err;
  EXPECT_EQ(Read("a.fit"), input_);
  // A read-only original would become writable: refused.
  if (geteuid() != 0) GTEST_SKIP() << "needs root: only root may rewrite an image of mode 0400";
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
  // At every call of a batch up to its folder flush: each image is the
  // original or the whole repair, and only a whole repair may say OK. A
  // signal raised by the committing thread reaches the main thread a moment
  // later, so a batch may get further than the call that raised it.
  const std::vector<std::string> names = {"a.fit", "b.fit"};
  Write("b.fit", input_);
  const std::vector<std::string> calls = CallsOf(names);
  ASSERT_EQ(std::count(calls.begin(), calls.end(), "rename"), 2) << ::testing::PrintToString(calls);
  const std::string repaired = Read("a.fit");
  const std::vector<std::pair<std::string, int>> signals = {{"int", 2},   {"term", 15}, {"hup", 1},
                                                            {"quit", 3},  {"pipe", 13}, {"xfsz", 25},
                                                            {"xcpu", 24}, {"usr1", 10}};
  // Named copies (a filesystem without unnamed files) are each removed by the handler.
  for (const auto& [mode, number] : signals) {
    for (std::size_t n = 1; n < calls.size(); ++n) {
      SCOPED_TRACE(mode + " at call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      const RunResult run = RunWithFault(names, n, mode, (n + number) % 2 == 0 ? "CORVANE_NO_TMPFILE=1" : "CORVANE_UNUSED=1");
      EXPECT_EQ(run.status, 128 + number);
      for (const std::string& name : names) {
        // The last lines say which file the signal left as it was or came just after, unless OK was said.
        const bool ok = BlockOf(run.err, name, names).ends_with("\tOK\n");
        const bool repaired_now = Read(name) == repaired;
        EXPECT_TRUE(repaired_now || (!ok && Read(name) == input_)) << name << "\n" << run.err;
        const std::string said = repaired_now ? "\nInterrupted just after '" + name + "' was repaired\n"
                                              : "\nInterrupted while repairing '" + name + "': it was left as it was\n";
        const bool started = name == names[0] || n > 3;  // after the first file's three writes
        EXPECT_EQ(run.err.find(said) != std::string::npos, started && !ok) << run.err;
        if (n <= 3) {  // the first file's writes: nothing was handed over yet
          EXPECT_EQ(Read(name), input_) << name;
        }
      }
      EXPECT_EQ(Listing(), names);
    }
  }
  // The committing thread wrote a file's OK in among the lines of the signal (seen when they are slow to write).
  const RunResult slow = RunWithFault(names, calls.size(), "term", "CORVANE_SLOW_REPORT=1");  // the folder's flush
  EXPECT_EQ(slow.err.find("\tOK\n"), std::string::npos) << slow.err;
}

// Another program acting on the folder at a chosen point of the run: the
// command runs at the N-th counted call (or, with a "read:" prefix, before the
// N-th read of a file), then the run goes on.
RunResult Faults::RunWhile(const std::vector<std::string>& args, const std::string& at, const std::string& command,
                           std::vector<std::string> env) {
  env.push_back(Preload());
  env.push_back("CORVANE_FAULT_COMMAND=cd " + dir_ + " && " + command);
  if (at.starts_with("read:")) {
    env.push_back("CORVANE_HOOK_READ=" + at.substr(5));
  } else {
    env.push_back("CORVANE_FAULT_CALL=" + at);
    env.push_back("CORVANE_FAULT_MODE=run");
  }
  return Run(args, {.env = env});
}

TEST_F(Faults, ClosedStandardStreamsNeverReceiveTheReport) {
  // With descriptor 2 closed, the image would be opened as 2 and the report written into it.
  Write("a.fit", input_);
  const std::string tool = CORVANE_BINARY;
  RunResult run = RunProgram({"/bin/sh", "-c", "exec \"$0\" -add 1 a.fit 2>&- 1>&- <&-", tool});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Read("a.fit").size(), 4u * 2880u);
  EXPECT_EQ(Pixels16(Read("a.fit")).at(2999), 10);
  run = RunProgram({"/bin/sh", "-c", "exec \"$0\" -force -out o.fit a.fit 2>&-", tool});
  EXPECT_EQ(Read("o.fit").size(), 4u * 2880u);
}

TEST_F(Faults, AFileThatChangesDuringTheRunIsLeftAsItIs) {
  // Appended to before the data is read, while the new copy is written, or
  // replaced under the same name: the rename would drop the new bytes or the
  // new file (or a mode given while its copy waited). Cut short between the two passes over the data.
  // truncate opens without waiting, so the read lease held while the new copy
  // is written turns it away and the image stays whole.
  struct Change {
    std::string at;
    std::string command;
    bool turned_away;
  };
  const std::vector<Change> changes = {{"read:2", "printf more >> a.fit", false},
                                       {"1", "printf more >> a.fit", false},
                                       {"1", "cp b.fit c && mv c a.fit", false},
                                       {"1", "truncate -s 3000 a.fit", true},
                                       {"4", "chmod 600 a.fit", false}};  // its copy waiting with the old mode
  for (const auto& [at, command, turned_away] : changes) {
    SCOPED_TRACE(command + " at " + at);
    Write("a.fit", input_);
    Write("b.fit", FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({7})));
    const std::string before = turned_away ? input_ : RunProgram({"/bin/sh", "-c", command + " && cat a.fit"}).out;
    Write("a.fit", input_);
    const RunResult run = RunWhile({"a.fit"}, at, command);
    EXPECT_EQ(run.err.find("\tOK"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Error: 'a.fit' left unchanged, "), std::string::npos) << run.err;
    EXPECT_EQ(Read("a.fit"), before);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
  }
  Write("a.fit", input_);
  RunWhile({"a.fit"}, "1", "rm a.fit");
  EXPECT_EQ(Listing(), std::vector<std::string>{"b.fit"});  // a removed image does not come back
}

TEST_F(Faults, AnOutputFileThatIsAnInputOfTheRunIsRefusedBeforeAnythingIsWritten) {
  // The output was once the input under another name, replaced as in place;
  // a FITS file of a named folder was overwritten before its own turn and
  // then skipped as repaired.
  Write("a.fit", input_);
  ASSERT_EQ(link(Path("a.fit").c_str(), Path("hard.fit").c_str()), 0);
  ASSERT_EQ(symlink("a.fit", Path("soft.fit").c_str()), 0);
  ASSERT_EQ(mkdir(Path("night").c_str(), 0777), 0);
  Write("night/a.fit", input_);
  Write("night/b.fit", input_);
  Write("b.fit", input_);
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-add", "1", "-out", "hard.fit", "a.fit"}, "'hard.fit' is 'a.fit'"},
      {{"-add", "1", "-out", "soft.fit", "a.fit"}, "'soft.fit' is 'a.fit'"},
      {{"-out", "a.fit", "a.fit"}, "'a.fit' is 'a.fit'"},
      {{"-out", "night/b.fit", "night"}, "'night/b.fit' is 'night/b.fit'"},
      {{"-out", "night/a.fit", "b.fit", "night/"}, "'night/a.fit' is 'night/a.fit'"},
      // Written with a trailing separator, as the run reads it: a.fit/ is a.fit.
      {{"-out", "a.fit", "a.fit/", "b.fit"}, "'a.fit' is 'a.fit'"},
      {{"-out", "night/a.fit", "night\\"}, "'night/a.fit' is 'night/a.fit'"},
  };
  for (const auto& [args, names] : refused) {
    SCOPED_TRACE(args[args.size() - 2] + " " + args.back());
    const RunResult run = Run(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Error: the output file " + names + ", which this run also repairs; nothing was written\n"
                       "Nothing was changed: no file was read or written.\n");
    EXPECT_EQ(Read("a.fit"), input_);
    EXPECT_EQ(Read("night/a.fit"), input_);
    EXPECT_EQ(Read("night/b.fit"), input_);
  }
  // Another name in the same folder is fine, and the input keeps its bytes.
  EXPECT_TRUE(Run({"-add", "1", "-out", "night/c.fit", "night/b.fit"}).err.ends_with("\tOK\n"));
  EXPECT_EQ(Pixels16(Read("night/c.fit")).at(0), 10);
  EXPECT_EQ(Read("night/a.fit"), input_);
}

TEST_F(Faults, PixelsChangedBetweenTheTwoPassesLeaveTheImageUnchanged) {
  // Rewritten in place by another program after the checking pass, with the
  // size and time put back (as a write through a shared mapping leaves
  // them): the result mixed pixels of two versions and said OK.
  const std::string touch_back =
      "printf 7 | dd of=a.fit bs=1 seek=4000 conv=notrunc status=none && touch -r ref.fit a.fit";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-add", "1", "a.fit"}, std::vector<std::string>{"-add", "1", "-out", "o.fit", "a.fit"}}) {
    SCOPED_TRACE(args.size());
    Write("a.fit", input_);
    ASSERT_EQ(RunProgram({"/bin/sh", "-c", "cd " + dir_ + " && cp -p a.fit ref.fit"}).status, 0);
    const RunResult run = RunWhile(args, "read:3", touch_back);
    EXPECT_NE(run.err.find("another program changed"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("\tOK"), std::string::npos) << run.err;
    EXPECT_EQ(Read("a.fit").substr(0, 2880), input_.substr(0, 2880));  // no marker
    EXPECT_FALSE(access(Path("o.fit").c_str(), F_OK) == 0);
  }
}

TEST_F(Faults, OnlyAFolderThatRefusesNewFilesIsWrittenThroughTheImage) {
  const std::string whole = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(3000, 10)));
  for (const std::string error : {"enospc", "emfile"}) {
    Write("a.fit", input_);
    const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {Preload(), "CORVANE_FAULT_CREATE=" + error}});
    EXPECT_NE(run.err.find("Error: 'a.fit' left unchanged, cannot create a new copy beside it: "), std::string::npos)
        << run.err;
    EXPECT_EQ(Read("a.fit"), input_);
  }
  // A refused folder: a full disk is found before a byte changes, and an
  // interruption waits until the image is whole.
  // The reservation fails part way (the file must not keep what it got), or
  // the free space cannot hold a whole copy (a copy-on-write filesystem).
  const std::string refused = "CORVANE_FAULT_CREATE=eacces";
  for (const std::string full : {"CORVANE_FAULT_CALL=1", "CORVANE_FAULT_FREE_BLOCKS=2"}) {
    Write("a.fit", input_);
    const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {Preload(), refused, full}});
    EXPECT_NE(run.err.find("Error: 'a.fit' left unchanged, no room for the repaired file: "), std::string::npos)
        << run.err;
    EXPECT_EQ(Read("a.fit"), input_);
  }
  // Where reserving grows the file (FAT through FUSE), a header that could not be marked left it longer.
  Write("a.fit", input_);
  EXPECT_NE(Run({"-add", "1", "a.fit"}, {.env = {Preload(), refused, "CORVANE_FAULT_RESERVE=eopnotsupp",
                                                 "CORVANE_FAULT_CALL=2", "CORVANE_FAULT_MODE=eio"}})
                .err.find("left unchanged, its header could not be marked"),
            std::string::npos);
  EXPECT_EQ(Read("a.fit").size(), input_.size());
  // A read failing once writing has begun is owned up to (a signal held meanwhile said "left as it was").
  Write("a.fit", input_);
  const RunResult cut = Run({"-add", "1", "a.fit"}, {.env = {Preload(), refused, "CORVANE_FAULT_READ=4",
                                                              "CORVANE_FAULT_CALL=1", "CORVANE_FAULT_MODE=int"}});
  EXPECT_EQ(cut.status, 130);
  EXPECT_TRUE(cut.err.ends_with("Error: 'a.fit' is damaged: it was only partly rewritten (its data could not be "
                                "read again: it is shorter than when it was opened); a later run refuses it, "
                                "restore it from a backup\nInterrupted just after the repair of 'a.fit' failed "
                                "half way: it is damaged, as said above\n"))
      << cut.err;
  // The header still says a repair is under way: a later run, even forced, refuses the file.
  const std::string damaged = Read("a.fit");
  EXPECT_NE(damaged.find("COMMENT =CORVANE repair under way"), std::string::npos);
  EXPECT_EQ(damaged.find("Mangled by CORVANE"), std::string::npos);
  // FITS readers refuse it too: cfitsio read the half-rewritten pixels of a whole-block one, fitsverify passed it.
  Write("c.fit", FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(1440, 9))));
  Run({"-add", "1", "c.fit"}, {.env = {Preload(), refused, "CORVANE_FAULT_READ=4"}});
  EXPECT_NE(RunProgram({CFITSIO_TOOL, "read", "c.fit"}).status, 0);
  EXPECT_NE(RunProgram({"/usr/bin/fitsverify", "c.fit"}).status, 0);
  const RunResult later = Run({"-force", "a.fit"});
  EXPECT_NE(later.err.find("Error: 'a.fit' is damaged: a repair written through it was interrupted"),
            std::string::npos)
      << later.err;
  EXPECT_EQ(Read("a.fit"), damaged);
  for (const auto& [mode, status] : std::vector<std::pair<std::string, int>>{{"int", 130}, {"xcpu", 152}}) {
    Write("a.fit", input_);
    const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {Preload(), refused, "CORVANE_FAULT_CALL=3",
                                                              "CORVANE_FAULT_MODE=" + mode}});
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(Read("a.fit").substr(2880, 6000), whole.substr(2880, 6000));
    EXPECT_NE(Read("a.fit").find("Mangled by CORVANE"), std::string::npos);
  }
  // Written through without a lease, an image another program cut or
  // replaced after its pixels were rewritten was sealed with the marker, OK.
  const std::vector<std::string> through = CallsOf({"-add", "1", "a.fit"}, {refused});
  // The flush of the pixels, the call before the last write (the marked header).
  const auto last_write = std::find(through.rbegin(), through.rend(), "write");
  ASSERT_EQ(*(last_write + 1), "fsync");
  const std::string pixels_flushed = std::to_string(through.rend() - last_write - 1);
  for (const auto& [command, said] : std::vector<std::pair<std::string, std::string>>{
           {"truncate -s 3000 a.fit", "is damaged: another program cut or rewrote it"},
           {"cp a.fit b.fit && mv b.fit a.fit", "was replaced by another program"}}) {
    Write("a.fit", input_);
    const RunResult run = RunWhile({"-add", "1", "a.fit"}, pixels_flushed, command, {refused});
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_NE(run.err.find("Error: 'a.fit' " + said), std::string::npos) << run.err;
    EXPECT_EQ(Read("a.fit").find("Mangled by CORVANE"), std::string::npos) << command;
  }
  // An append-only folder kept every run's copy for good: the rename was
  // refused and the copy could not be removed. It is written through instead.
  ASSERT_EQ(mkdir(Path("ap").c_str(), 0777), 0);
  Write("ap/a.fit", input_);
  if (RunProgram({"chattr", "+a", "ap"}).status != 0) return;  // a filesystem without the flag
  const RunResult appended = Run({"-add", "1", "ap/a.fit"});
  const auto entries = std::distance(std::filesystem::directory_iterator(Path("ap")), {});
  ASSERT_EQ(RunProgram({"chattr", "-a", "ap"}).status, 0);
  EXPECT_TRUE(appended.err.ends_with("\tOK\n")) << appended.err;
  EXPECT_TRUE(Read("ap/a.fit").substr(2880, 6000) == whole.substr(2880, 6000));
  EXPECT_NE(Read("ap/a.fit").find("Mangled by CORVANE"), std::string::npos);
  EXPECT_EQ(entries, 1);  // no copy left beside it
  // Its OK waited behind a batched copy's lines: a signal at the run's last call left it repaired unsaid.
  ASSERT_EQ(RunProgram({"chattr", "+a", "ap"}).status, 0);
  const std::vector<std::string> after_copy = {"-add", "1", "b.fit", "ap/a.fit"};
  Write("ap/a.fit", input_);
  Write("b.fit", input_);
  const std::size_t last = CallsOf(after_copy).size();
  Write("ap/a.fit", input_);
  const std::string err = RunWithFault(after_copy, last, "term").err;
  ASSERT_EQ(RunProgram({"chattr", "-a", "ap"}).status, 0);
  EXPECT_NE(err.find("ap/a.fit\n\tBPP 16\n\tBZERO 32768\n\t[ADD 1, SCALE 1.00, BZERO 32768]\n\tOK\n"),
            std::string::npos) << err;
}

TEST_F(Faults, TwoRunsAtOnceApplyTheCorrectionOnce) {
  // The second run starts while the first holds the file; it must wait, then
  // see the first one's marker, both when writing through and when renaming.
  for (const std::string create : {"CORVANE_FAULT_CREATE=eacces", "CORVANE_UNUSED=1"}) {
    SCOPED_TRACE(create);
    std::string second = "(";
    second.append(Preload()).append(" ").append(create).append(" ").append(CORVANE_BINARY);
    second.append(" -add 1 a.fit 2> second.log; touch second.done) & sleep 1; if [ -e second.done ]; then touch raced; fi");
    Write("a.fit", input_);
    RunWhile({"-add", "1", "a.fit"}, "1", second, {create});
    for (int wait = 0; wait < 100 && access(Path("second.done").c_str(), F_OK) != 0; ++wait) usleep(50000);
    EXPECT_NE(access(Path("raced").c_str(), F_OK), 0) << "the second run did not wait";
    EXPECT_TRUE(Read("second.log").ends_with("already been mangled. Skipping...\n")) << Read("second.log");
    EXPECT_EQ(Pixels16(Read("a.fit")).at(0), 10);
    unlink(Path("second.done").c_str());
  }
}

TEST_F(Faults, ANameGivenToAFifoWhileTheRunWaitsIsRefused) {
  // The run waited for another program's lock, then opened the FIFO now under the name and hung.
  Write("a.fit", input_);
  const RunResult run = RunProgram(
      {"/bin/sh", "-c",
       "(flock -x a.fit sleep 1) & sleep 0.3; (sleep 0.3; rm a.fit; mkfifo a.fit) & timeout 20 \"$0\" a.fit",
       CORVANE_BINARY});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "a.fit\n\tWaiting for another program to finish with this file...\nError: 'a.fit' is not a regular file\n");
}

TEST_F(Faults, ALinkSwappedDuringTheRunRedirectsNothing) {
  // Swapped between the open and the rewrite, the link would have the victim replaced.
  ASSERT_EQ(mkdir(Path("real").c_str(), 0777), 0);
  Write("real/img.fit", input_);
  const std::string victim = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({5}));
  Write("victim.fit", victim);
  ASSERT_EQ(symlink("real/img.fit", Path("link.fit").c_str()), 0);
  const RunResult run = RunWhile({"link.fit"}, "read:2", "ln -sfn victim.fit link.fit");
  EXPECT_EQ(Read("victim.fit"), victim);
  EXPECT_NE(Read("real/img.fit"), input_) << run.err;
  struct stat info {};
  ASSERT_EQ(lstat(Path("link.fit").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST_F(Faults, ALinkIsResolvedBelowAnUnsearchableFolder) {
  // realpath fails when a folder above the working one cannot be searched, and
  // the link itself was then replaced by a file.
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  Write("a.fit", input_);
  const std::string script =
      "mkdir -p top/mid && cp a.fit top/mid/img.fit && cd top/mid && ln -s img.fit link.fit && chmod 0 .. && "
      "\"$0\" link.fit; status=$?; chmod 700 .. && test -L link.fit && od -An -tx1 -j2880 -N2 img.fit; exit $status";
  const RunResult run = RunProgram({"/bin/sh", "-c", script, CORVANE_BINARY}, {.as_unprivileged = true});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, " 00 09\n");  // still a link, its target repaired
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
}

TEST_F(Faults, AnIgnoredHangupLeavesTheRunGoing) {
  // nohup ignores SIGHUP; a handler installed over it ended the run at logout.
  Write("a.fit", input_);
  const RunResult run = RunProgram({"/bin/sh", "-c", "trap '' HUP; LD_PRELOAD=\"$1\" exec \"$0\" -add 1 a.fit",
                                    CORVANE_BINARY, CORVANE_FAULT_LIBRARY},
                                   {.env = {"CORVANE_FAULT_CALL=1", "CORVANE_FAULT_MODE=hup"}});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
}

TEST_F(Faults, RunningOutOfMemoryFailsTheFileAndTheRunGoesOn) {
  // The 16-bit scale table cannot be had: that file fails, the next is repaired.
  if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer's allocator cannot be made to fail";
  Write("a.fit", input_);
  Write("b.fit", input_);
  const RunResult run = Run({"-scale", "0.5", "a.fit", "-scale", "1", "b.fit"},
                            {.env = {Preload(), "CORVANE_FAULT_MALLOC=100000"}});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Out of memory repairing 'a.fit'; it was left unchanged\n"), std::string::npos) << run.err;
  EXPECT_EQ(Read("a.fit"), input_);
  EXPECT_TRUE(run.err.ends_with("\tOK\n2 files: 1 repaired, 0 skipped, 1 failed\nFailed:\n\ta.fit\n"));
  EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
  // The chunk buffer itself, the one allocation that depends on the file.
  Write("a.fit", FitsFile(Header(-32), std::string(3 << 20, 'x')));
  EXPECT_TRUE(Run({"a.fit"}, {.env = {Preload(), "CORVANE_FAULT_MALLOC=1000000"}})
                  .err.ends_with("Out of memory allocating 1048320 bytes for file a.fit\n"));
}

TEST_F(Faults, StandardOutputAFifoAndATerminalAreWrittenDirectly) {
  // "-stretch -out /dev/stdout > f.fit" once put "[do_stretch] " over the
  // SIMPLE card of the image.
  Write("a.fit", input_);
  const std::string tool = CORVANE_BINARY;
  RunResult run = RunProgram({"/bin/sh", "-c", "\"$0\" -stretch -out /dev/stdout a.fit > f.fit", tool});
  EXPECT_TRUE(run.err.ends_with("\tOK\n[do_stretch] ")) << run.err;
  EXPECT_TRUE(Read("f.fit").starts_with("SIMPLE  =")) << Read("f.fit").substr(0, 80);
  EXPECT_EQ(Read("f.fit").size(), 4u * 2880u);
  Write("s.fit", FitsFile(Header(16, {ValueCard("BZERO", "0")})));  // skipped, yet the line went into the stream
  RunProgram({"/bin/sh", "-c", "\"$0\" -stretch -out /dev/stdout s.fit > none.fit", tool});
  EXPECT_EQ(Read("none.fit"), "");
  // Made non-blocking by whoever started the run (2>&1 shares one pipe), a full pipe failed an image or dropped lines.
  std::string images = " -out /dev/stdout", checks = " -check";
  for (int k = 0; k < 80; ++k) checks += " a.fit";
  for (int k = 0; k < 8; ++k) images += " a.fit";
  for (const auto& [args, stream] : std::vector<std::pair<std::string, std::string>>{{images, ">"}, {checks, "2>"}}) {
    const RunResult plain = RunProgram({"/bin/sh", "-c", "\"$0\"" + args, tool});
    const std::string& expected = stream == ">" ? plain.out : plain.err;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETPIPE_SZ, 4096) + fcntl(ends[1], F_SETFL, O_NONBLOCK), 4096);
    run = RunProgram({"/bin/sh", "-c", "(sleep 0.3; timeout 20 head -c " + std::to_string(expected.size()) +
                      " <&$1 > got) & \"$0\"" + args + " " + stream + "&$2; wait", tool, std::to_string(ends[0]),
                      std::to_string(ends[1])});
    close(ends[0]);
    close(ends[1]);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Read("got"), expected) << stream;
  }
  // A FIFO is written as it is; stdout keeps the line. Closed after one image, it made the run wait for ever.
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  run = RunProgram({"/bin/sh", "-c", "cat pipe > piped.fit & timeout 20 \"$0\" -stretch -out pipe a.fit a.fit; wait",
                    tool});
  EXPECT_TRUE(run.err.ends_with("\tOK\n2 files: 2 repaired, 0 skipped, 0 failed\n[do_stretch] ")) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Read("piped.fit"), Read("f.fit") + Read("f.fit"));
  // A regular output keeps the line on standard output.
  run = Run({"-stretch", "-out", "o.fit", "a.fit"});
  EXPECT_EQ(run.out, "[do_stretch] ");
  EXPECT_EQ(Read("o.fit"), Read("f.fit"));
}

TEST_F(Faults, TwoRunsWithTheSameOutputNeverMix) {
  // The second run emptied and wrote the output while the first was writing
  // it: one image's header over the other's pixels, and both said OK.
  Write("a.fit", input_);
  const std::string other = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(3000, 5)));
  Write("b.fit", other);
  ASSERT_TRUE(Run({"-out", "solo.fit", "a.fit"}).err.ends_with("\tOK\n"));
  const std::string whole = Read("solo.fit");
  unlink(Path("solo.fit").c_str());
  // The second run starts and ends while the first writes its data.
  const RunResult run =
      RunWhile({"-out", "o.fit", "a.fit"}, "2", std::string(CORVANE_BINARY) + " -out o.fit b.fit 2>/dev/null");
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
  EXPECT_EQ(Read("o.fit"), whole);  // the first run renamed last: its whole result
  EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit", "o.fit"}));
}

TEST_F(Faults, AFileAnotherProgramHasOpenForWritingIsLeftAlone) {
  // A stacking program that paused with the image open: repaired and marked,
  // and what it wrote afterwards was lost.
  Write("a.fit", input_);
  const std::string tool = CORVANE_BINARY;
  RunResult run;  // -check said "Would be repaired" and exited 0
  for (const std::string args : {"a.fit", "-check a.fit", "-check -out o.fit a.fit"}) {
    run = RunProgram({"/bin/sh", "-c", "exec 3>>a.fit; \"$0\" " + args, tool});
    EXPECT_EQ(run.status, 1) << args;
    EXPECT_EQ(run.err.substr(run.err.find("]\n") + 2), "Error: 'a.fit' left unchanged, another program has it open for writing\n");
    EXPECT_EQ(Read("a.fit"), input_);
  }
  // Opened for writing while the new copy is written: the lease is broken and
  // given up at once, so the other program's append goes through, into the original.
  run = RunWhile({"a.fit"}, "1", "printf more >> a.fit");
  EXPECT_TRUE(run.err.ends_with("Error: 'a.fit' left unchanged, another program opened it for writing while it was "
                                "being repaired\n"))
      << run.err;
  EXPECT_EQ(Read("a.fit"), input_ + "more");
  // Each copy waiting for its batch keeps its image leased: only the image whose lease is broken is left alone.
  for (const std::string name : {"a.fit", "b.fit", "c.fit"}) Write(name, input_);
  run = RunWhile({"a.fit", "b.fit", "c.fit"}, "7", "printf more >> a.fit");  // c's first write
  EXPECT_NE(run.err.find("Error: 'a.fit' left unchanged, another program opened it for writing while it was being "
                         "repaired\nb.fit\n"), std::string::npos) << run.err;
  EXPECT_TRUE(run.err.ends_with("\tOK\n3 files: 2 repaired, 0 skipped, 1 failed\nFailed:\n\ta.fit\n")) << run.err;
  EXPECT_TRUE(Read("a.fit") == input_ + "more");
  EXPECT_NE(Read("c.fit").find("Mangled by CORVANE"), std::string::npos);
}

TEST_F(Faults, CopiesWaitingForTheirBatchLeaveDescriptorsForTheNextFile) {
  // Under ulimit -n 64 the copies of a folder held every descriptor: an -out after it ended the run.
  ASSERT_EQ(mkdir(Path("night").c_str(), 0777), 0);
  Write("m42.fit", input_);
  for (int files = 1; files <= 24; ++files) {
    for (int k = 0; k < files; ++k) Write("night/" + std::to_string(k) + ".fit", input_);
    const RunResult run = RunProgram({"/bin/sh", "-c", "ulimit -n 64 && exec \"$0\" night -out o.fit m42.fit",
                                      CORVANE_BINARY});
    EXPECT_TRUE(run.err.ends_with(" 0 failed\n")) << run.err;
  }
}

TEST_F(Faults, AnImageSavedByAnotherProgramAtTheRenameIsKept) {
  // Saved between the last check and the rename, the newer image was replaced
  // by the repair of the old one.
  const std::vector<std::string> calls = CallsOf({"a.fit"});
  const std::size_t rename = static_cast<std::size_t>(std::find(calls.begin(), calls.end(), "rename") - calls.begin()) + 1;
  Write("a.fit", input_);
  const std::string newer = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({7}));
  Write("b.fit", newer);
  const RunResult run = RunWhile({"a.fit"}, std::to_string(rename), "cp b.fit c && mv c a.fit");
  EXPECT_TRUE(run.err.ends_with("Error: 'a.fit' left unchanged, another program replaced it during the rename\n"))
      << run.err;
  EXPECT_EQ(Read("a.fit"), newer);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
}

TEST_F(Faults, NoNamedCopyExistsWhileItIsWrittenAndALeftoverIsNamedOnce) {
  // The new copy had a name from the start: SIGKILL or a power cut left a
  // full-size hidden file for good, and nothing ever said so.
  Write("a.fit", input_);
  Write("b.fit", input_);
  RunResult run = RunWhile({"a.fit"}, "1", "ls -A > ../" + dir_.substr(dir_.rfind('/') + 1) + ".listing");
  EXPECT_EQ(ReadFile(dir_ + ".listing"), "a.fit\nb.fit\n");
  unlink((dir_ + ".listing").c_str());
  // SIGKILL part way: nothing to remove where the copy has no name.
  Write("a.fit", input_);
  run = RunWhile({"a.fit"}, "2", "kill -9 $PPID");
  EXPECT_EQ(run.status, 128 + 9);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"}));
  // Where the filesystem has no unnamed files, the named copy stays; the
  // next run in that folder says so, once.
  Write("a.fit", input_);
  run = RunWhile({"a.fit"}, "2", "kill -9 $PPID", {"CORVANE_NO_TMPFILE=1"});
  EXPECT_EQ(run.status, 128 + 9);
  EXPECT_EQ(Listing().size(), 3u);
  EXPECT_EQ(Read("a.fit"), input_);
  for (const std::string& name : Listing()) {
    if (name.starts_with(".corvane-")) {
      ASSERT_EQ(rename(Path(name).c_str(), Path(".corvane-Ab12Cd").c_str()), 0);
    }
  }
  run = Run({"a.fit", "b.fit"});
  const std::string note = "Note: the folder of 'a.fit' holds '.corvane-Ab12Cd', a copy left by an interrupted run";
  EXPECT_NE(run.err.find(note), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Note:"), run.err.rfind("Note:"));  // once for the folder
  EXPECT_TRUE(run.err.ends_with("\tOK\n2 files: 2 repaired, 0 skipped, 0 failed\n")) << run.err;
}

TEST_F(Faults, AFolderThatCannotBeOpenedIsFlushedAnotherWay) {
  // Without read permission the folder could not be opened to be flushed,
  // and the rename was left to chance after OK.
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the image is given to another user";
  ASSERT_EQ(mkdir(Path("box").c_str(), 0777), 0);
  Write("box/a.fit", input_);
  ASSERT_EQ(chown(Path("box/a.fit").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(Path("box").c_str(), 0333), 0);
  const std::string log = dir_ + ".record";
  const RunResult run = Run({"box/a.fit"}, {.env = {Preload(), "CORVANE_RECORD=" + log}, .as_unprivileged = true});
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
  const std::string record = ReadFile(log);
  unlink(log.c_str());
  EXPECT_NE(record.find("\nF\n"), std::string::npos) << "no syncfs after the rename";
  ASSERT_EQ(chmod(Path("box").c_str(), 0777), 0);
  EXPECT_EQ(Pixels16(Read("box/a.fit")).at(0), 9);
}

// A new copy and an output file are reserved whole before a byte is written;
// a disk too full for it fails the file as a failed first write does, and a
// filesystem without reservations changes nothing. Catches a reservation of
// the wrong size, one through the image itself, and a refusal taken for a failure.
TEST_F(Faults, NewFilesAreReservedWholeBeforeWriting) {
  Write("a.fit", input_);
  ASSERT_TRUE(Run({"-add", "1", "-out", "plain.fit", "a.fit"}).err.ends_with("\tOK\n"));
  const std::string repaired = Read("plain.fit");
  const std::string log = Path("../" + dir_.substr(dir_.rfind('/') + 1) + ".reserve");
  unlink(log.c_str());
  const std::vector<std::string> logged = {Preload(), "CORVANE_RESERVE_LOG=" + log};
  EXPECT_TRUE(Run({"-add", "1", "-out", "out.fit", "a.fit"}, {.env = logged}).err.ends_with("\tOK\n"));
  EXPECT_TRUE(Run({"-add", "1", "a.fit"}, {.env = logged}).err.ends_with("\tOK\n"));
  std::ifstream in(log);
  std::stringstream reservations;
  reservations << in.rdbuf();
  unlink(log.c_str());
  // Header, 6000 bytes of pixels and the fill: four blocks, from the start.
  EXPECT_EQ(reservations.str(), "0 0 11520\n0 0 11520\n");
  EXPECT_EQ(Read("out.fit"), repaired);
  EXPECT_EQ(Read("a.fit"), repaired);

  for (const std::string out : {"", "out.fit"}) {
    SCOPED_TRACE("-out " + out);
    std::vector<std::string> args = {"-add", "1", "a.fit"};
    if (!out.empty()) args.insert(args.begin(), {"-out", out});
    Write("a.fit", input_);
    const RunResult unsupported = Run(args, {.env = {Preload(), "CORVANE_FAULT_RESERVE=eopnotsupp"}});
    EXPECT_TRUE(unsupported.err.ends_with("\tOK\n")) << unsupported.err;
    EXPECT_EQ(Read(out.empty() ? "a.fit" : out), repaired);
    Write("a.fit", input_);
    unlink(Path("out.fit").c_str());
    const RunResult full = Run(args, {.env = {Preload(), "CORVANE_FAULT_RESERVE=enospc"}});
    // Nothing was written yet: no "Probably damaged" about a file untouched.
    const std::string said = out.empty() ? "Error: 'a.fit' left unchanged, the new copy could not be written: "
                                           "No space left on device\n"
                                         : "Error: 'out.fit' not created, the new copy could not be written: "
                                           "No space left on device\n";
    EXPECT_TRUE(full.err.ends_with("\t[ADD 1, SCALE 1.00, BZERO 32768]\n" + said)) << full.err;
    EXPECT_EQ(Read("a.fit"), input_);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "plain.fit"}));  // no output, no copy
  }
}

}  // namespace
}  // namespace corvane::testing
