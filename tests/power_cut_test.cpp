// Power-cut tests: a run is recorded call by call (writes, flushes, names
// created, renamed, exchanged or removed) by the preloaded fault library, and
// every state a disk could hold after a crash at any point is rebuilt: a
// file's writes since its last flush may each have reached the disk or not,
// and the folder's changes since its last flush may have reached it up to
// any point, in order. Under the image's name each state must be the
// original, the whole result, or a file a later run refuses; once the
// report said OK for an image, only the whole result.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "helpers.h"

namespace corvane::testing {
namespace {

struct Event {
  char kind = 0;
  unsigned long ino = 0;
  long long offset = 0;  // W: where; T: the new size
  std::string first;     // names (C, L, R, X, U): the first, or the only one
  std::string second;
  std::string data;
};

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t k = 0; k + 1 < hex.size(); k += 2) bytes += static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16));
  return bytes;
}

std::vector<Event> ReadRecord(const std::string& path) {
  std::vector<Event> events;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    Event event;
    words >> event.kind;
    unsigned long folder = 0;
    std::string hex;
    switch (event.kind) {
      case 'W': words >> event.ino >> event.offset >> hex; event.data = FromHex(hex); break;
      case 'T': words >> event.ino >> event.offset; break;
      case 'S': case 'D': words >> event.ino; break;
      case 'C': case 'L': words >> event.ino >> folder >> event.first; break;
      case 'R': case 'X': words >> folder >> event.first >> event.second; break;
      case 'U': words >> folder >> event.first; break;
      case 'E': words >> hex; event.data = FromHex(hex); break;
      default: break;
    }
    events.push_back(event);
  }
  return events;
}

// One folder and its files as a disk holds them: what is flushed, and what
// may or may not have reached it yet.
class Disk {
 public:
  void Add(const std::string& name, unsigned long ino, const std::string& content) {
    names_[name] = ino;
    files_[ino].durable = content;
  }

  void Apply(const Event& event) {
    switch (event.kind) {
      case 'W': case 'T': files_[event.ino].pending.push_back(event); break;
      case 'S': Flush(event.ino); break;
      case 'D': FlushFolder(); break;
      case 'F':
        for (auto& [ino, file] : files_) Flush(ino);
        FlushFolder();
        break;
      default: pending_names_.push_back(event); break;
    }
  }

  // Every content `name` may have after a crash now; "<none>" where it names nothing.
  void CrashStates(const std::string& name, std::set<std::string>* states) const {
    for (std::size_t done = 0; done <= pending_names_.size(); ++done) {
      std::map<std::string, unsigned long> names = names_;
      for (std::size_t k = 0; k < done; ++k) Rename(pending_names_[k], &names);
      const auto named = names.find(name);
      if (named == names.end()) {
        states->insert("<none>");
        continue;
      }
      const auto file = files_.find(named->second);
      if (file == files_.end()) {
        states->insert(std::string());
        continue;
      }
      const std::vector<Event>& pending = file->second.pending;
      const std::size_t subsets = std::size_t{1} << std::min<std::size_t>(pending.size(), 12);
      for (std::size_t subset = 0; subset < subsets; ++subset) {
        std::string content = file->second.durable;
        for (std::size_t k = 0; k < pending.size(); ++k) {
          if ((subset >> k & 1) != 0) Write(pending[k], &content);
        }
        states->insert(content);
      }
    }
  }

  // Whether a crash now may leave a name starting with `prefix`, on disk or from a pending change.
  bool MayHoldName(const std::string& prefix) const {
    const auto at = names_.lower_bound(prefix);
    return (at != names_.end() && at->first.starts_with(prefix)) ||
           std::any_of(pending_names_.begin(), pending_names_.end(), [&prefix](const Event& event) {
             return event.kind != 'U' && (event.first.starts_with(prefix) || event.second.starts_with(prefix));
           });
  }

 private:
  struct File {
    std::string durable;
    std::vector<Event> pending;
  };

  static void Write(const Event& event, std::string* content) {
    if (event.kind == 'T') {
      content->resize(static_cast<std::size_t>(event.offset), '\0');
      return;
    }
    const auto end = static_cast<std::size_t>(event.offset) + event.data.size();
    if (content->size() < end) content->resize(end, '\0');
    content->replace(static_cast<std::size_t>(event.offset), event.data.size(), event.data);
  }

  static void Rename(const Event& event, std::map<std::string, unsigned long>* names) {
    switch (event.kind) {
      case 'C': case 'L': (*names)[event.first] = event.ino; break;
      case 'U': names->erase(event.first); break;
      case 'R':
        (*names)[event.second] = names->at(event.first);
        names->erase(event.first);
        break;
      case 'X': std::swap((*names)[event.first], (*names)[event.second]); break;
      default: break;
    }
  }

  void Flush(unsigned long ino) {
    File& file = files_[ino];
    for (const Event& event : file.pending) Write(event, &file.durable);
    file.pending.clear();
  }

  void FlushFolder() {
    for (const Event& event : pending_names_) Rename(event, &names_);
    pending_names_.clear();
  }

  std::map<std::string, unsigned long> names_;
  std::map<unsigned long, File> files_;
  std::vector<Event> pending_names_;
};

class PowerCut : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    input_ = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(std::vector<std::uint16_t>(3000, 9)));
  }

  // Runs `args` recorded (as nobody when `unprivileged`), with the folder holding `files`, and gathers every
  // state `name` could have after a crash at any point of the run.
  std::set<std::string> StatesOf(const std::string& name, const std::map<std::string, std::string>& files,
                                 const std::vector<std::string>& args, std::vector<std::string> env = {},
                                 bool unprivileged = false) {
    return StatesOfEach({name}, files, args, std::move(env), unprivileged)[name].all;
  }

  struct States {
    std::set<std::string> all;
    std::set<std::string> after_ok;  // once the report said OK for the file
  };

  // As StatesOf, for each of `names` (the first one watched for a copy beside it).
  std::map<std::string, States> StatesOfEach(const std::vector<std::string>& names,
                                             const std::map<std::string, std::string>& files,
                                             const std::vector<std::string>& args, std::vector<std::string> env,
                                             bool unprivileged = false) {
    const std::string& name = names.front();
    Disk disk;
    unsigned long watched = 0;
    for (const auto& [file, content] : files) {
      Write(file, content);
      EXPECT_EQ(chmod(Path(file).c_str(), unprivileged ? 0666 : 0644), 0);
      struct stat info {};
      EXPECT_EQ(stat(Path(file).c_str(), &info), 0);
      disk.Add(file, info.st_ino, content);
      if (file == name) watched = info.st_ino;
    }
    const std::string log = dir_ + ".record";
    unlink(log.c_str());
    env.push_back(std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY);
    env.push_back("CORVANE_RECORD=" + log);
    run_ = Run(args, {.env = env, .as_unprivileged = unprivileged});
    const std::vector<Event> events = ReadRecord(log);
    unlink(log.c_str());
    std::map<std::string, States> states;
    std::string said;  // the report so far
    copy_beside_ = false;
    for (std::size_t k = 0; k <= events.size(); ++k) {
      if (k > 0 && events[k - 1].kind == 'E') said += events[k - 1].data;
      if (k > 0 && events[k - 1].kind != 'E') disk.Apply(events[k - 1]);
      for (const std::string& each : names) {
        disk.CrashStates(each, &states[each].all);
        if (SaidOk(said, each)) disk.CrashStates(each, &states[each].after_ok);
      }
      const Event* event = k > 0 ? &events[k - 1] : nullptr;
      copy_beside_ = copy_beside_ || (event != nullptr && event->kind == 'W' && event->ino == watched &&
                                      disk.MayHoldName(".corvane-"));
    }
    points_ = events.size() + 1;
    return states;
  }

  // Whether the report's lines for `name` (a path line, then tabbed lines) end in OK.
  static bool SaidOk(const std::string& said, const std::string& name) {
    std::size_t end = said.starts_with(name + "\n") ? 0 : said.find("\n" + name + "\n");
    if (end == std::string::npos) return false;
    end = said.find('\n', end + 1) + 1;
    while (end < said.size() && said[end] == '\t') end = said.find('\n', end) + 1;
    return said.substr(0, end).ends_with("\tOK\n");
  }

  // Whether a later run refuses `content` as damaged and leaves it alone, even forced.
  bool Refused(const std::string& content) {
    Write("later.fit", content);
    const RunResult later = Run({"-force", "later.fit"});
    const bool refused =
        later.err.find("is damaged: a repair written through it was interrupted") != std::string::npos &&
        Read("later.fit") == content;
    unlink(Path("later.fit").c_str());
    return refused;
  }

  std::string input_;
  RunResult run_;
  std::size_t points_ = 0;
  bool copy_beside_ = false;  // a copy may be left beside `name` once its own data is written
};

TEST_F(PowerCut, InPlaceEveryStateIsTheOriginalOrTheWholeRepair) {
  // A rename reaching the disk before the new file's data would leave a
  // name on an empty or partial file.
  // An unnamed new file, and a named one where the filesystem has none.
  for (const std::string env : {"CORVANE_UNUSED=1", "CORVANE_NO_TMPFILE=1"}) {
    SCOPED_TRACE(env);
    const std::set<std::string> states = StatesOf("a.fit", {{"a.fit", input_}}, {"-add", "1", "a.fit"}, {env});
    ASSERT_TRUE(run_.err.ends_with("\tOK\n")) << run_.err;
    const std::string result = Read("a.fit");
    EXPECT_EQ(states, (std::set<std::string>{input_, result})) << points_ << " points";
    EXPECT_GE(points_, 6u);
  }
}

TEST_F(PowerCut, AFolderIsTheOriginalOrTheWholeRepairAndOKMeansOnDisk) {
  // OK came once the copy was renamed, before the folder was flushed: a
  // power cut after it could bring the original back.
  const std::vector<std::string> names = {"a.fit", "b.fit", "c.fit", "d.fit"};
  std::map<std::string, std::string> files;
  for (const std::string& name : names) files[name] = input_;
  for (const std::string env : {"CORVANE_UNUSED=1", "CORVANE_NO_TMPFILE=1"}) {
    SCOPED_TRACE(env);
    std::vector<std::string> args = {"-add", "1"};
    args.insert(args.end(), names.begin(), names.end());
    const std::map<std::string, States> states = StatesOfEach(names, files, args, {env});
    ASSERT_TRUE(run_.err.ends_with("4 files: 4 repaired, 0 skipped, 0 failed\n")) << run_.err;
    const std::string result = Read("a.fit");
    for (const std::string& name : names) {
      SCOPED_TRACE(name);
      EXPECT_EQ(Read(name), result);
      EXPECT_TRUE(states.at(name).all == (std::set<std::string>{input_, result})) << points_ << " points";
      EXPECT_TRUE(states.at(name).after_ok == std::set<std::string>{result}) << states.at(name).after_ok.size();
    }
  }
}

TEST_F(PowerCut, OutputEveryStateIsTheOldOutputOrTheWholeResult) {
  // The output was emptied and written in place, unflushed: a power cut left
  // it empty or half written, and a full disk lost the old one.
  const std::string old = FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16({1, 2, 3}));
  for (const bool existed : {true, false}) {
    SCOPED_TRACE(existed ? "over an existing output" : "a new output");
    std::map<std::string, std::string> files = {{"a.fit", input_}};
    if (existed) files["out.fit"] = old;
    unlink(Path("out.fit").c_str());
    const std::set<std::string> states = StatesOf("out.fit", files, {"-add", "1", "-out", "out.fit", "a.fit"});
    ASSERT_TRUE(run_.err.ends_with("\tOK\n")) << run_.err;
    EXPECT_EQ(states, (std::set<std::string>{existed ? old : "<none>", Read("out.fit")})) << points_ << " points";
    EXPECT_EQ(Read("a.fit"), input_);
  }
}

TEST_F(PowerCut, WriteThroughEveryStateIsTheOriginalTheRepairOrRefused) {
  // The marker was written with the header before the data: a cut left a
  // marked half repair, skipped for good; or the data without the header,
  // repaired a second time by the next run.
  const std::set<std::string> states =
      StatesOf("a.fit", {{"a.fit", input_}}, {"-add", "1", "a.fit"}, {"CORVANE_FAULT_CREATE=eacces"});
  ASSERT_TRUE(run_.err.ends_with("\tOK\n")) << run_.err;
  const std::string result = Read("a.fit");
  EXPECT_TRUE(states.contains(input_));
  EXPECT_TRUE(states.contains(result));
  std::size_t refused = 0;
  for (const std::string& state : states) {
    if (state == input_ || state == result) continue;
    EXPECT_TRUE(Refused(state)) << state.substr(0, 480) << "\nsize " << state.size() << " differs from the input at "
                                << std::mismatch(state.begin(), state.end(), input_.begin()).first - state.begin() << " and from the result at "
                                << std::mismatch(state.begin(), state.end(), result.begin()).first - state.begin();
    ++refused;
  }
  EXPECT_GE(refused, 3u) << points_ << " points";  // header only, part of the data, all but the marker
}

TEST_F(PowerCut, WriteThroughEveryFailedCallLeavesTheOriginalOrARefusedFile) {
  // A disk error part way through a write-through: never a marked half
  // repair, never a file whose pixels a later run repairs a second time.
  const std::string refused = "CORVANE_FAULT_CREATE=eacces";
  const std::string log = dir_ + ".calls";
  Write("a.fit", input_);
  Run({"-add", "1", "a.fit"}, {.env = {std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY, refused,
                                       "CORVANE_FAULT_LOG=" + log}});
  const std::string result = Read("a.fit");
  std::vector<std::string> calls;
  std::istringstream lines(ReadFile(log));
  for (std::string line; std::getline(lines, line);) calls.push_back(line);
  unlink(log.c_str());
  // Room measured, reserved; under-way header, flush, data, fill, flush, final header, flush.
  ASSERT_EQ(calls, (std::vector<std::string>{"fallocate", "fallocate", "write", "fsync", "write", "write", "fsync",
                                             "write", "fsync"}));
  for (const std::string mode : {"enospc", "eio", "short"}) {
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE(mode + " at call " + std::to_string(n) + " (" + calls[n - 1] + ")");
      Write("a.fit", input_);
      const RunResult run = Run({"-add", "1", "a.fit"}, {.env = {std::string("LD_PRELOAD=") + CORVANE_FAULT_LIBRARY,
                                                                  refused, "CORVANE_FAULT_CALL=" + std::to_string(n),
                                                                  "CORVANE_FAULT_MODE=" + mode}});
      EXPECT_EQ(run.err.find("\tOK"), std::string::npos) << run.err;
      const std::string after = Read("a.fit");
      EXPECT_TRUE(after == input_ || after == result || Refused(after));
      // Before any pixel changed, the original header is written back (a
      // short write fails the next call too, and may fail that).
      if (n <= 4 && mode != "short") {
        EXPECT_NE(run.err.find("Error: 'a.fit' left unchanged, "), std::string::npos) << run.err;
      }
      if (run.err.find("left unchanged") != std::string::npos) {
        EXPECT_EQ(after, input_);
      }
      if (n > 4) {
        EXPECT_NE(run.err.find("Error: 'a.fit' is damaged: "), std::string::npos) << run.err;
      }
    }
  }
}

TEST_F(PowerCut, WriteThroughAnotherUsersImageLeavesNoCopyBesideIt) {
  // The copy that could not be given to the owner stayed, named, through the write-through: a power cut kept it.
  if (geteuid() != 0 || !CanTestPermissions()) GTEST_SKIP() << "needs root and setpriv to run as another user";
  StatesOf("a.fit", {{"a.fit", input_}}, {"-add", "1", "a.fit"}, {"CORVANE_NO_TMPFILE=1"}, true);
  ASSERT_TRUE(run_.err.ends_with("\tOK\n")) << run_.err;
  EXPECT_FALSE(copy_beside_) << points_ << " points";
}

}  // namespace
}  // namespace corvane::testing
