// libFuzzer target: the whole per-file repair on arbitrary bytes. The first
// bytes choose the run settings; the rest is written to a scratch file, which
// Fixup then repairs in place or to an output file. After each run it checks
// what must always hold, and traps when it does not. Run with -close_fd_mask=2,
// as every report goes to standard error.
#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "settings.h"
#include "fits/committer.h"
#include "fits/fits.h"

namespace {

std::string g_dir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// Names in the scratch directory other than the input and output file.
bool HasStrayFiles() {
  DIR* dir = opendir(g_dir.c_str());
  if (dir == nullptr) return true;
  bool stray = false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "in.fit" && name != "out.fit") stray = true;
  }
  closedir(dir);
  return stray;
}

// The settings, from the first 8 bytes of the input.
void ChooseSettings(const std::uint8_t* knobs) {
  static const double kScales[] = {1.0, 0.7, 1.0000001, 2.0, 0.5, -1.0, 0.0, 1e300,
                                   std::numeric_limits<double>::quiet_NaN(),
                                   std::numeric_limits<double>::infinity(), 65536.0, 1e-300};
  static const std::int32_t kAdds[] = {0, -1, 1, 5, 32768, -2147483647 - 1, 2147483647, -40000};
  static const std::int32_t kPads[] = {0, 0, 0, 10, -5, 2880, 1, 5000};
  corvane::ResetRunSettings();
  corvane::ADD_VALUE = kAdds[knobs[0] % 8];
  corvane::SCALE_VALUE = kScales[knobs[1] % 12];
  corvane::do_stretch = knobs[2] & 1;
  corvane::force = (knobs[2] >> 1) & 1;
  corvane::arg_padbytes = kPads[knobs[3] % 8];
  if ((knobs[2] >> 2) & 1) {
    corvane::set_bzero = 1;
    corvane::BZERO_NEW = static_cast<std::int32_t>(knobs[4] * 257 - 30000);
  }
  if ((knobs[2] >> 3) & 1) corvane::OUT_FNAME = g_dir + "/out.fit";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where possible: every repair flushes its file to disk.
  char in_memory[] = "/dev/shm/corvane-fuzz-XXXXXX";
  char on_disk[] = "/tmp/corvane-fuzz-XXXXXX";
  const char* dir = mkdtemp(in_memory);
  if (dir == nullptr) dir = mkdtemp(on_disk);
  if (dir == nullptr) return 1;
  g_dir = dir;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kKnobs = 8;
  if (size < kKnobs) return 0;
  const std::string input = g_dir + "/in.fit";
  const std::string output = g_dir + "/out.fit";
  const std::string before(reinterpret_cast<const char*>(data + kKnobs), size - kKnobs);
  {
    std::ofstream out(input, std::ios::binary | std::ios::trunc);
    out.write(before.data(), static_cast<std::streamsize>(before.size()));
  }
  unlink(output.c_str());
  ChooseSettings(data);
  const bool to_output = corvane::OUT_FNAME.has_value();

  corvane::Outcome result = corvane::Fixup(input);
  // A new copy is put in place by the committing thread: its result comes from there.
  for (const corvane::Committed& committed : corvane::FinishCommits()) result = committed.outcome;

  const std::string after = ReadAll(input);
  // A file that failed or was skipped is never changed.
  if (to_output || result != corvane::Outcome::kRepaired) Check(after == before);
  if (!to_output && result == corvane::Outcome::kRepaired) {
    Check(after.size() % corvane::kBlockSize == 0);
    Check(after.size() >= before.size());
    Check(after.compare(0, corvane::kCardLen, before, 0, corvane::kCardLen) == 0);
  }
  if (to_output && access(output.c_str(), F_OK) == 0) {
    const std::string written = ReadAll(output);
    Check(written.size() % corvane::kBlockSize == 0 && written.size() >= before.size());
  }
  Check(!HasStrayFiles());
  return 0;
}
