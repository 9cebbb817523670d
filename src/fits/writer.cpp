// The third phase of Fixup: mark the header as processed, rebuild its BZERO
// cards, and write header, data, extra bytes and zero fill. In place the
// result goes to a new file beside the image, which takes its name only when
// complete and flushed, so a failure, an interruption or a power cut leaves
// the image as it was; a folder that takes no new file has the image written
// through (write_through.cpp), and -out has its own file (output_file.cpp).
#include "fits/writer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "settings.h"
#include "fits/committer.h"
#include "fits/fits.h"
#include "report.h"

namespace corvane {
namespace {

constexpr char kMarkerText[] = "Mangled by CORVANE - pixels repaired for standard FITS readers";
constexpr std::int64_t kZeroChunk = std::int64_t{64} * 1024;

// Prints one card into its slot. Every format here makes exactly 80
// characters, which the 81-byte slot holds with its terminator.
[[gnu::format(printf, 2, 3)]] void PrintCard(Card& card, const char* format, ...) {
  va_list args;
  va_start(args, format);
  (void)std::vsnprintf(card.data(), card.size(), format, args);
  va_end(args);
}

// Every "BZERO " card is rewritten in the fixed layout, which drops its comment.
void RebuildBzeroCards(PerFile& f) {
  const std::int32_t value = BzeroToWrite(f);
  for (Card& card : f.header) {
    if (IsBzeroCard(card)) {
      PrintCard(card, "%-8.8s=%21d%50s", "BZERO", value, "");
    }
  }
}

// Why the latest write failed: the system's reason (a write that stops short
// is followed by one that says why).
std::string WriteFailure(std::int64_t) { return os::LastErrorText(); }

// Writes `count` zero bytes, a chunk at a time, so any count needs little memory.
bool WriteZeros(os::File& target, std::int64_t count, std::string* cause) {
  std::uint8_t zeros[kZeroChunk];
  bzero(zeros, kZeroChunk);
  while (count > 0) {
    const std::int64_t chunk = count < kZeroChunk ? count : kZeroChunk;
    if (const std::int64_t written = target.WriteFull(zeros, chunk); written < chunk) {
      *cause = WriteFailure(written);
      return false;
    }
    count -= chunk;
  }
  return true;
}

// The second pass over the data area: each chunk read again, summed (where
// the first pass summed it too), transformed and written to `target`. A
// rewrite through the image itself reads each chunk before it writes over it.
// The sum is compared by the caller.
bool WriteData(PerFile& f, os::File& target, std::uint64_t* sum, std::string* cause) {
  const std::int64_t chunk = std::min(f.data_size, kChunkSize);
  for (std::int64_t at = 0; at < f.data_size; at += chunk) {
    const std::int64_t length = std::min(chunk, f.data_size - at);
    if (std::string why; !ReadChunk(f, at, length, &why)) {
      Report("Short read on file '%s', wanted %" PRId64 " bytes\n", f.path.c_str(), f.data_size);
      *cause = "its data could not be read again: " + why;
      return false;
    }
    if (!f.checked_ahead && RefusedChunk(f, length)) {
      f.refused = true;
      *cause = "it holds FITS extensions";
      return false;
    }
    if (f.checked_ahead) *sum = DataSum(*sum, f.data.Data(), length);
    f.pixels->Apply(f.data.Data(), f.data.Data(), PixelsIn(f, at, length));
    if (const std::int64_t written = target.WriteFull(f.data.Data(), length); written < length) {
      *cause = WriteFailure(written);
      return false;
    }
  }
  f.refused = !f.checked_ahead && GrewMeanwhile(f);
  return !f.refused;
}

}  // namespace

void PutBeforeEnd(Header& cards, int end_index, const char* text) {
  if (end_index >= kLastCard) return;
  PrintCard(cards[end_index], "%-8.8s=%-71.71s", "COMMENT", text);
  PrintCard(cards[end_index + 1], "%-80.80s", "END");
  for (int j = end_index + 2; j <= kLastCard; ++j) PrintCard(cards[j], "%-80.80s", "");
}

bool WriteHeader(const Header& cards, os::File& target, std::string* cause) {
  char block[kBlockSize];
  for (int j = 0; j < kCardsPerBlock; ++j) {
    std::memcpy(block + static_cast<std::ptrdiff_t>(j) * kCardLen, cards[j].data(), kCardLen);
  }
  if (const std::int64_t written = target.WriteFull(block, kBlockSize); written < kBlockSize) {
    *cause = WriteFailure(written);
    return false;
  }
  return true;
}

// A write that fails is reported once, by the caller, as what became of the
// file: a new copy that never takes the name damages nothing.
bool WriteBody(PerFile& f, os::File& target, std::uint64_t* sum, std::string* cause) {
  if (!WriteData(f, target, sum, cause)) return false;
  std::int64_t size = f.data_size;
  if (f.pad_bytes > 0) {
    if (!WriteZeros(target, f.pad_bytes, cause)) return false;
    size += f.pad_bytes;
  }
  const std::int64_t past_block = size % kBlockSize;
  return past_block == 0 || WriteZeros(target, kBlockSize - past_block, cause);
}

bool WriteImage(PerFile& f, os::File& target, std::uint64_t* sum, std::string* cause) {
  return WriteHeader(f.header, target, cause) && WriteBody(f, target, sum, cause);
}

Next Finish(bool written) {
  if (!written) return Next::kFailed;
  NoteInterruptBetweenFiles();  // a signal held during a write through it comes now
  Report("\tOK\n");
  return Next::kDone;
}

std::int64_t ResultSize(const PerFile& f) {
  const std::int64_t data = f.data_size + (f.pad_bytes > 0 ? f.pad_bytes : 0);
  return kBlockSize + (data + kBlockSize - 1) / kBlockSize * kBlockSize;
}

bool ReserveResult(PerFile& f, os::File& target, std::string* cause) {
  const int error = target.Reserve(ResultSize(f));
  if (error == 0) return true;
  *cause = os::ErrorText(error);  // nothing is written yet: the caller says what became of the file
  return false;
}

bool WriteCopy(PerFile& f, std::optional<os::Replacement>& copy, const os::Target& beside, std::uint64_t* sum,
               std::string* cause) {
  *sum = 0;
  if (ReserveResult(f, copy->Output(), cause) && WriteImage(f, copy->Output(), sum, cause)) return true;
  // The copies waiting to be put in place hold room on the disk until their
  // originals go: a copy that found it full is made once more after them.
  if (f.refused || !os::LastErrorMeansFull()) return false;
  copy.emplace();  // the room the failed one took is given back
  if (!WaitForCommits() || copy->Create(beside) != 0) return false;
  *sum = 0;
  return ReserveResult(f, copy->Output(), cause) && WriteImage(f, copy->Output(), sum, cause);
}

bool LeaseInput(PerFile& f) {
  if (f.target.TakeLease() != os::Target::kBusy) return true;
  Report("Error: '%s' left unchanged, another program has it open for writing\n", f.path.c_str());
  return false;
}

namespace {

// Writes the result to a new file beside `target` and puts it under the name
// of `target` once it is complete, so every failure leaves the image as it was.
Next WriteReplacement(PerFile& f, os::Target& target, const Header& original) {
  if (!LeaseInput(f)) return Next::kFailed;
  std::optional<os::Replacement> replacement(std::in_place);
  int created = replacement->Create(target);
  // The copies waiting to be put in place hold files open, and their originals
  // hold room on the disk: once they are in place, there is room again.
  if (os::IsOutOfDescriptors(created) || (created != 0 && os::LastErrorMeansFull())) {
    WaitForCommits();
    created = replacement->Create(target);
  }
  if (const int error = created; error != 0) {
    // Only a folder that refuses new files leaves writing through the image;
    // a full disk or too many open files leave it as it is.
    if (os::IsAccessDenied(error)) return WriteThrough(f, target, original);
    Report("Error: '%s' left unchanged, cannot create a new copy beside it: %s\n", f.path.c_str(),
           os::ErrorText(error).c_str());
    return Next::kFailed;
  }
  std::string error;
  std::uint64_t sum = 0;
  if (!WriteCopy(f, replacement, target, &sum, &error)) {
    // A refusal by the checks made while writing was reported as it always is.
    if (!f.refused) {
      Report("Error: '%s' left unchanged, the new copy could not be written: %s\n", f.path.c_str(), error.c_str());
    }
    return Next::kFailed;
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' left unchanged, another program changed its pixels while it was being repaired\n",
           f.path.c_str());
    return Next::kFailed;
  }
  std::string note;
  switch (replacement->CopyAttributesFrom(target.Input(), &error, &note)) {
    case os::Replacement::Attributes::kCopied:
      break;
    case os::Replacement::Attributes::kOtherOwner:
      // The new copy would not be the owner's: the image is written through,
      // once the copy is gone for good and its room is free again.
      replacement->Discard();
      return WriteThrough(f, target, original);
    case os::Replacement::Attributes::kFailed:
      Report("Error: '%s' left unchanged, cannot give the new copy its permissions: %s\n", f.path.c_str(),
             error.c_str());
      return Next::kFailed;
  }
  // Flushed, put in place and reported with the next batch (commit_batch.cpp).
  HandOver({.path = f.path, .target = std::move(target), .copy = std::move(*replacement), .note = std::move(note),
            .bytes = ResultSize(f)});
  return Next::kQueued;
}

}  // namespace

Next ForeseeWrite(PerFile& f) {
  if (OUT_FNAME && WritesDirectly(*OUT_FNAME)) return Next::kContinue;
  if (!LeaseInput(f)) return Next::kFailed;
  f.target.DropLease();
  return Next::kContinue;
}

Next WriteResult(PerFile& f) {
  const Header original = f.header;
  PutBeforeEnd(f.header, f.end_index, kMarkerText);
  RebuildBzeroCards(f);
  return OUT_FNAME ? WriteToOutputFile(f) : WriteReplacement(f, f.target, original);
}

}  // namespace corvane
