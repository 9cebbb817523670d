// The third phase of Fixup: mark the header as processed, rebuild its BZERO
// cards, and write header, data, extra bytes and zero fill. In place, the result
// goes to a temporary file that is renamed over the original only when complete,
// so a failure or an interruption leaves the original as it was.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "settings.h"
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

// The second pass over the data area: each chunk read again, transformed and
// written to `target`, and checked first where the first pass left that to it.
// A rewrite through the image itself reads each chunk before it writes over it.
bool WriteData(PerFile& f, os::File& target) {
  const std::int64_t chunk = std::min(f.data_size, kChunkSize);
  for (std::int64_t at = 0; at < f.data_size; at += chunk) {
    const std::int64_t length = std::min(chunk, f.data_size - at);
    if (!ReadChunk(f, at, length)) {
      Report("Short read on file '%s', wanted %" PRId64 " bytes\n", f.path.c_str(), f.data_size);
      return false;
    }
    if (!f.checked_ahead && RefusedChunk(f, length)) {
      f.refused = true;
      return false;
    }
    f.pixels->Apply(f.data.Data(), f.data.Data(), length);
    if (target.WriteFull(f.data.Data(), length) < length) {
      Report("Short write on '%s': File probably damaged\n", f.path.c_str());
      return false;
    }
  }
  f.refused = !f.checked_ahead && GrewMeanwhile(f);
  return !f.refused;
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
  if (!WriteData(f, target)) return false;
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

// The size of the written file: header, data, extra bytes and fill.
std::int64_t ResultSize(const PerFile& f) {
  const std::int64_t data = f.data_size + (arg_padbytes > 0 ? arg_padbytes : 0);
  return kBlockSize + (data + kBlockSize - 1) / kBlockSize * kBlockSize;
}

// Reserves the whole result in a new file before it is written: the disk then
// allocates it at once, and a disk too full for it fails as a first write would.
bool ReserveResult(PerFile& f, os::File& target) {
  if (target.Reserve(ResultSize(f)) == 0) return true;
  Report("Short write on file '%s': Probably damaged\n", f.path.c_str());
  return false;
}

// Writes the result over the image itself, for a folder that takes no new
// file. A failure half way would leave the image half repaired, so a change by
// another program, a full disk and an interruption are all ruled out first.
Next WriteThrough(PerFile& f, os::Target& target) {
  if (!f.checked_ahead && ScanDataArea(f, f.data_size) != Next::kContinue) return Next::kFailed;
  if (!target.Unchanged() || !target.StillNamed()) {
    Report("Error: '%s' left unchanged, it changed while it was being repaired\n", f.path.c_str());
    return Next::kFailed;
  }
  const os::InterruptsHeld held;
  if (const int error = target.Reserve(ResultSize(f)); error != 0) {
    Report("Error: '%s' left unchanged, no room for the repaired file: %s\n", f.path.c_str(),
           os::ErrorText(error).c_str());
    return Next::kFailed;
  }
  os::File& file = target.Input();
  if (!file.Rewind() || !WriteImage(f, file)) {
    // The data is read a chunk at a time, just before it is written over, so
    // a failure from here on leaves the image partly rewritten.
    Report("Error: '%s' is damaged: it was only partly rewritten\n", f.path.c_str());
    return Next::kFailed;
  }
  if (!file.Sync()) {
    Report("Short write on '%s': File probably damaged\n", f.path.c_str());
    return Next::kFailed;
  }
  return Finish(true);
}

// Writes the result to a new file beside `target` and renames it over
// `target` once it is complete, so every failure leaves the image as it was.
Next WriteReplacement(PerFile& f, os::Target& target) {
  // The data came from the input, which `target` may only be another name of.
  const os::Target* read = &target == &f.target ? nullptr : &f.target;
  os::Replacement replacement;
  if (const int error = replacement.Create(target); error != 0) {
    // Only a folder that refuses new files leaves writing through the image;
    // a full disk or too many open files leave it as it is.
    if (os::IsAccessDenied(error)) return WriteThrough(f, target);
    Report("Error: '%s' left unchanged, cannot create a new copy beside it: %s\n", f.path.c_str(),
           os::ErrorText(error).c_str());
    return Next::kFailed;
  }
  if (!ReserveResult(f, replacement.Output()) || !WriteImage(f, replacement.Output())) {
    // A refusal by the checks made while writing was reported as it always is.
    if (!f.refused) Report("Error: '%s' left unchanged, the new copy could not be written\n", f.path.c_str());
    return Next::kFailed;
  }
  std::string error;
  if (!replacement.CopyAttributesFrom(target.Input(), &error)) {
    Report("Error: '%s' left unchanged, cannot give the new copy its permissions: %s\n", f.path.c_str(),
           error.c_str());
    return Next::kFailed;
  }
  if (!replacement.Commit(target, &error, read)) {
    Report("Error: '%s' left unchanged, %s\n", f.path.c_str(), error.c_str());
    return Next::kFailed;
  }
  return Finish(true);
}

// Every file of the run goes to the same output file, which holds exactly the last one.
Next WriteToOutputFile(PerFile& f) {
  if (f.target.IsSameFileAs(*OUT_FNAME)) {
    // The output is the input under this or another name: emptying it first
    // would lose the image on any failure, so it is replaced as in place.
    os::Target out;
    if (out.Open(*OUT_FNAME, os::Access::kReadWrite) != 0) {
      Report("Cannot open output file [%s]\n", OUT_FNAME->c_str());
      ExitRun(1);
    }
    return WriteReplacement(f, out);
  }
  os::File out = os::CreateTruncated(*OUT_FNAME);
  if (!out.IsOpen()) {
    Report("Cannot open output file [%s]\n", OUT_FNAME->c_str());
    ExitRun(1);
  }
  return Finish(ReserveResult(f, out) && WriteImage(f, out));
}

}  // namespace

Next WriteResult(PerFile& f) {
  MarkHeader(f);
  RebuildBzeroCards(f);
  return OUT_FNAME ? WriteToOutputFile(f) : WriteReplacement(f, f.target);
}

}  // namespace corvane
