// The third phase of Fixup: mark the header as processed, rebuild its BZERO
// cards, and write header, data, extra bytes and zero fill. In place, the result
// goes to a temporary file that is renamed over the original only when complete,
// so a failure or an interruption leaves the original as it was.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/settings.h"
#include "fits/fits.h"
#include "report.h"

namespace corvane {
namespace {

constexpr char kMarkerText[] = "Mangled by CORVANE - pixels repaired for standard FITS readers";
constexpr int kLastCard = kCardsPerBlock - 1;
constexpr std::int64_t kZeroChunk = std::int64_t{64} * 1024;

// Prints one card into its slot. Every format here makes exactly 80
// characters, which the 81-byte slot holds with its terminator.
[[gnu::format(printf, 2, 3)]] void PrintCard(Card& card, const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)std::vsnprintf(card.data(), card.size(), format, args);
  va_end(args);
}

// The marker takes the END card's place and END moves one card on; a header
// whose END is the last card has no room and keeps no marker.
void MarkHeader(PerFile& f) {
  if (f.end_index >= kLastCard) return;
  auto& cards = f.header;
  PrintCard(cards[f.end_index], "%-8.8s=%-71.71s", "COMMENT", kMarkerText);
  PrintCard(cards[f.end_index + 1], "%-80.80s", "END");
  for (int j = f.end_index + 2; j <= kLastCard; ++j) PrintCard(cards[j], "%-80.80s", "");
}

// Every "BZERO " card is rewritten in the fixed layout, which drops its comment.
void RebuildBzeroCards(PerFile& f) {
  const std::int32_t value = BzeroToWrite();
  for (Card& card : f.header) {
    if (std::string_view(card.data(), 6) == "BZERO ") {
      PrintCard(card, "%-8.8s=%21d%50s", "BZERO", value, "");
    }
  }
}

// Writes `count` zero bytes, a chunk at a time, so any count needs little memory.
bool WriteZeros(os::File& target, std::int64_t count) {
  std::uint8_t zeros[kZeroChunk];
  bzero(zeros, kZeroChunk);
  while (count > 0) {
    const std::int64_t chunk = count < kZeroChunk ? count : kZeroChunk;
    if (target.WriteFull(zeros, chunk) < chunk) return false;
    count -= chunk;
  }
  return true;
}

// Writes the whole result to `target` from its current position.
bool WriteImage(PerFile& f, os::File& target) {
  char block[kBlockSize];
  for (int j = 0; j < kCardsPerBlock; ++j) {
    std::memcpy(block + static_cast<std::ptrdiff_t>(j) * kCardLen, f.header[j].data(), kCardLen);
  }
  if (target.WriteFull(block, kBlockSize) < kBlockSize) {
    Report("Short write on file '%s': Probably damaged\n", f.path.c_str());
    return false;
  }
  if (target.WriteFull(f.data.Data(), f.data_size) < f.data_size) {
    Report("Short write on '%s': File probably damaged\n", f.path.c_str());
    return false;
  }
  if (arg_padbytes > 0) {
    if (!WriteZeros(target, arg_padbytes)) {
      Report("Short write on '%s': File probably damaged\n", f.path.c_str());
      return false;
    }
    f.data_size += arg_padbytes;
  }
  const std::int64_t past_block = f.data_size % kBlockSize;
  if (past_block != 0 && !WriteZeros(target, kBlockSize - past_block)) {
    Report("Short write on '%s': File probably damaged\n", f.path.c_str());
    return false;
  }
  return true;
}

Next Finish(bool written) {
  if (!written) return Next::kFailed;
  Report("\tOK\n");
  return Next::kDone;
}

// Every file of the run goes to the same output file, which holds exactly the last one.
Next WriteToOutputFile(PerFile& f) {
  f.file.Close();
  os::File out = os::CreateTruncated(*OUT_FNAME);
  if (!out.IsOpen()) {
    Report("Cannot open output file [%s]\n", OUT_FNAME->c_str());
    ExitRun(1);
  }
  return Finish(WriteImage(f, out));
}

Next WriteInPlace(PerFile& f) {
  os::Replacement replacement;
  if (!replacement.Create(f.path)) {
    // No new file can be made beside it (a read-only directory, say), so the
    // result is written through the input's own descriptor instead.
    f.file.Rewind();
    return Finish(WriteImage(f, f.file));
  }
  if (!replacement.CopyAttributesFrom(f.file)) {
    Report("Error: cannot give the new copy of '%s' its permissions\n", f.path.c_str());
    return Next::kFailed;
  }
  if (!WriteImage(f, replacement.Output())) return Next::kFailed;
  f.file.Close();  // everything is read, and some systems replace no file that is open
  std::string error;
  if (!replacement.Commit(&error)) {
    Report("Error: '%s' left unchanged, %s\n", f.path.c_str(), error.c_str());
    return Next::kFailed;
  }
  return Finish(true);
}

}  // namespace

Next WriteResult(PerFile& f) {
  MarkHeader(f);
  RebuildBzeroCards(f);
  return OUT_FNAME ? WriteToOutputFile(f) : WriteInPlace(f);
}

}  // namespace corvane
