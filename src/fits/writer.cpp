// The third phase of Fixup: mark the header as processed, rebuild its BZERO
// cards, and write header, data, extra bytes and zero fill. In place and with
// -out alike, the result goes to a new file beside the one it replaces, which
// takes that name only when complete and flushed, so a failure, an
// interruption or a power cut leaves the old file as it was. Written through
// the image itself (a folder that takes no new file), a card says a repair is
// under way until the last byte is on disk, so a crash never leaves a file
// that passes for repaired.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "settings.h"
#include "fits/committer.h"
#include "fits/fits.h"
#include "report.h"

namespace corvane {
namespace {

constexpr char kMarkerText[] = "Mangled by CORVANE - pixels repaired for standard FITS readers";
constexpr char kUnderWayText[] = "CORVANE repair under way - if this stays, the repair was cut off";
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

using Header = std::array<Card, kCardsPerBlock>;

// A comment card takes the END card's place and END moves one card on; a
// header whose END is the last card has no room and keeps no card.
void PutBeforeEnd(Header& cards, int end_index, const char* text) {
  if (end_index >= kLastCard) return;
  PrintCard(cards[end_index], "%-8.8s=%-71.71s", "COMMENT", text);
  PrintCard(cards[end_index + 1], "%-80.80s", "END");
  for (int j = end_index + 2; j <= kLastCard; ++j) PrintCard(cards[j], "%-80.80s", "");
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

// The second pass over the data area: each chunk read again, summed (where
// the first pass summed it too), transformed and written to `target`. A
// rewrite through the image itself reads each chunk before it writes over it.
// The sum is compared by the caller.
bool WriteData(PerFile& f, os::File& target, const char* name, std::uint64_t* sum, std::string* cause) {
  const std::int64_t chunk = std::min(f.data_size, kChunkSize);
  for (std::int64_t at = 0; at < f.data_size; at += chunk) {
    const std::int64_t length = std::min(chunk, f.data_size - at);
    if (!ReadChunk(f, at, length)) {
      Report("Short read on file '%s', wanted %" PRId64 " bytes\n", f.path.c_str(), f.data_size);
      *cause = "its data could not be read again";
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
      Report("Short write on '%s': File probably damaged\n", name);
      *cause = WriteFailure(written);
      return false;
    }
  }
  f.refused = !f.checked_ahead && GrewMeanwhile(f);
  return !f.refused;
}

// Writes the data area, extra bytes and fill to `target` from its current position.
bool WriteBody(PerFile& f, os::File& target, const char* name, std::uint64_t* sum, std::string* cause) {
  if (!WriteData(f, target, name, sum, cause)) return false;
  std::int64_t size = f.data_size;
  if (f.pad_bytes > 0) {
    if (!WriteZeros(target, f.pad_bytes, cause)) {
      Report("Short write on '%s': File probably damaged\n", name);
      return false;
    }
    size += f.pad_bytes;
  }
  const std::int64_t past_block = size % kBlockSize;
  if (past_block != 0 && !WriteZeros(target, kBlockSize - past_block, cause)) {
    Report("Short write on '%s': File probably damaged\n", name);
    return false;
  }
  return true;
}

// Writes the whole result to `target` from its current position; `name` is
// the file the short-write lines name (the image, or the output file).
bool WriteImage(PerFile& f, os::File& target, const std::string& name, std::uint64_t* sum, std::string* cause) {
  if (!WriteHeader(f.header, target, cause)) {
    Report("Short write on file '%s': Probably damaged\n", name.c_str());
    return false;
  }
  return WriteBody(f, target, name.c_str(), sum, cause);
}

Next Finish(bool written) {
  if (!written) return Next::kFailed;
  NoteInterruptBetweenFiles();  // a signal held during a write through it comes now
  Report("\tOK\n");
  return Next::kDone;
}

// The size of the written file: header, data, extra bytes and fill.
std::int64_t ResultSize(const PerFile& f) {
  const std::int64_t data = f.data_size + (f.pad_bytes > 0 ? f.pad_bytes : 0);
  return kBlockSize + (data + kBlockSize - 1) / kBlockSize * kBlockSize;
}

// Reserves the whole result in a new file before it is written: the disk then
// allocates it at once, and a disk too full for it fails as a first write would.
bool ReserveResult(PerFile& f, os::File& target, std::string* cause) {
  const int error = target.Reserve(ResultSize(f));
  if (error == 0) return true;
  *cause = os::ErrorText(error);  // nothing is written yet: the caller says what became of the file
  return false;
}

// Writes the result over the image itself, for a folder that takes no new
// file (or a copy that could not be given to the image's owner). A failure
// half way would leave the image half repaired, so a change by another
// program, a full disk and an interruption are ruled out first; and the
// header first says a repair is under way and is flushed before any pixel
// changes, then the data is flushed, and only then does the marker replace
// that card: a crash at any point leaves the original, a file a later run
// refuses as damaged, or the whole repair.
Next WriteThrough(PerFile& f, os::Target& target, const Header& original) {
  // Each chunk is read just before it is written over: every check of the
  // data area is made before the first byte changes.
  if (!f.checked_ahead && ScanDataArea(f, f.data_size) != Next::kContinue) return Next::kFailed;
  f.target.DropLease();  // a descriptor open for writing would break it
  if (f.end_index >= kLastCard) {
    Report("Error: '%s' left unchanged, its header has no free card to say a repair is under way\n",
           f.path.c_str());
    return Next::kFailed;
  }
  if (const int error = target.OpenForWriting(); error != 0) {
    Report("Error: '%s' left unchanged, cannot open it for writing: %s\n", f.path.c_str(),
           os::ErrorText(error).c_str());
    return Next::kFailed;
  }
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
  os::File& file = target.Writable();
  Header under_way = original;
  PutBeforeEnd(under_way, f.end_index, kUnderWayText);
  std::string cause;
  if (!file.Rewind() || !WriteHeader(under_way, file, &cause) || !file.Sync()) {
    if (cause.empty()) cause = os::LastErrorText();
    // No pixel has changed yet: the original header, written back, makes it whole.
    std::string again;
    if (file.Rewind() && WriteHeader(original, file, &again) && file.Sync()) {
      Report("Error: '%s' left unchanged, its header could not be marked as under repair: %s\n", f.path.c_str(),
             cause.c_str());
    } else {
      Report("Error: '%s' is damaged: its header could not be marked as under repair (%s) nor written back; its "
             "pixels are the original's, a later run may refuse it\n", f.path.c_str(), cause.c_str());
    }
    return Next::kFailed;
  }
  std::uint64_t sum = 0;
  if (!WriteBody(f, file, f.path.c_str(), &sum, &cause) || !file.Sync()) {
    if (cause.empty()) cause = os::LastErrorText();
    Report("Error: '%s' is damaged: it was only partly rewritten (%s); a later run refuses it, restore it from "
           "a backup\n", f.path.c_str(), cause.c_str());
    return Next::kFailed;
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' is damaged: another program changed its pixels while it was rewritten; a later run "
           "refuses it, restore it from a backup\n", f.path.c_str());
    return Next::kFailed;
  }
  // Without a lease another program may have replaced the image or cut it
  // while it was rewritten: the marker must not seal whatever is there now.
  if (!target.StillNamed()) {
    Report("Error: '%s' was replaced by another program while it was rewritten: the name holds that program's "
           "file, untouched, and the repair went to the file it replaced\n", f.path.c_str());
    return Next::kFailed;
  }
  if (!target.HasSize(ResultSize(f))) {
    Report("Error: '%s' is damaged: another program cut or rewrote it while it was rewritten; a later run "
           "refuses it, restore it from a backup\n", f.path.c_str());
    return Next::kFailed;
  }
  if (!file.Rewind() || !WriteHeader(f.header, file, &cause) || !file.Sync()) {
    if (cause.empty()) cause = os::LastErrorText();
    Report("Error: '%s' is damaged: its pixels are repaired but its header could not be finished (%s); a later "
           "run refuses it, restore it from a backup\n", f.path.c_str(), cause.c_str());
    return Next::kFailed;
  }
  return Finish(true);
}

// Says once per folder that a new copy left by an interrupted run is there.
void NoteLeftover(const PerFile& f, const os::Target& target) {
  const std::string name = target.LeftoverCopy();
  if (name.empty()) return;
  Report("Note: the folder of '%s' holds '%s', a copy left by an interrupted run (or one going on now); once "
         "no run is going it can be removed\n", f.path.c_str(), name.c_str());
}

// Takes a read lease on the input; false, with a report line, when another
// program has it open for writing.
bool LeaseInput(PerFile& f) {
  if (f.target.TakeLease() != os::Target::kBusy) return true;
  Report("Error: '%s' left unchanged, another program has it open for writing\n", f.path.c_str());
  return false;
}

// Writes the result to a new file beside `target` and puts it under the name
// of `target` once it is complete, so every failure leaves the image as it was.
Next WriteReplacement(PerFile& f, os::Target& target, const Header& original) {
  if (!LeaseInput(f)) return Next::kFailed;
  NoteLeftover(f, target);
  os::Replacement replacement;
  int created = replacement.Create(target);
  // The copies waiting to be put in place hold files open: once they are, there is room again.
  if (os::IsOutOfDescriptors(created)) {
    WaitForCommits();
    created = replacement.Create(target);
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
  if (!ReserveResult(f, replacement.Output(), &error) || !WriteImage(f, replacement.Output(), f.path, &sum, &error)) {
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
  switch (replacement.CopyAttributesFrom(target.Input(), &error, &note)) {
    case os::Replacement::Attributes::kCopied:
      break;
    case os::Replacement::Attributes::kOtherOwner:
      // The new copy would not be the owner's: the image is written through.
      return WriteThrough(f, target, original);
    case os::Replacement::Attributes::kFailed:
      Report("Error: '%s' left unchanged, cannot give the new copy its permissions: %s\n", f.path.c_str(),
             error.c_str());
      return Next::kFailed;
  }
  // Flushed, put in place and reported with the next batch (commit_batch.cpp).
  HandOver({.path = f.path, .target = std::move(target), .copy = std::move(replacement), .note = std::move(note),
            .bytes = ResultSize(f)});
  return Next::kQueued;
}

// A FIFO, a terminal or standard output: written as it is, from where it stands.
Next WriteDirectly(PerFile& f, const std::string& output) {
  NoteDirectOutput();
  os::SetInterruptNote("Interrupted while writing the repair of '" + f.path + "' to '" + output +
                       "': it got only part of it\n");
  os::File out;
  if (const int error = os::OpenDirect(output, &out); error != 0) {
    Report("Error: '%s' cannot be written: %s\n", output.c_str(), os::ErrorText(error).c_str());
    Report("Cannot open output file [%s]\n", output.c_str());
    ExitRun(1);
  }
  std::uint64_t sum = 0;
  std::string cause;
  if (!WriteImage(f, out, output, &sum, &cause)) {
    Report("Error: '%s' got only part of the repair of '%s': %s\n", output.c_str(), f.path.c_str(), cause.c_str());
    return Next::kFailed;
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' got a mix of two versions of '%s': another program changed it meanwhile\n",
           output.c_str(), f.path.c_str());
    return Next::kFailed;
  }
  return Finish(true);
}

// Every file of the run goes to the same output file, which holds exactly the
// last one: each written as a new file beside it that takes its name when
// complete, with the input's mode less the umask.
Next WriteToOutputFile(PerFile& f) {
  const std::string& output = *OUT_FNAME;
  if (os::IsStandardOutput(output)) return WriteDirectly(f, output);
  os::Target out;
  if (const int error = out.OpenOutput(output); error != 0) {
    Report("Error: '%s' cannot be written: %s\n", output.c_str(), os::ErrorText(error).c_str());
    Report("Cannot open output file [%s]\n", output.c_str());
    ExitRun(1);
  }
  if (out.Exists() && !out.Status().is_regular) return WriteDirectly(f, output);
  if (!LeaseInput(f)) return Next::kFailed;
  os::Replacement replacement;
  if (const int error = replacement.Create(out); error != 0) {
    Report("Error: '%s' cannot be written, no new copy can be made beside it: %s\n", output.c_str(),
           os::ErrorText(error).c_str());
    Report("Cannot open output file [%s]\n", output.c_str());
    ExitRun(1);
  }
  const char* before = out.Exists() ? "left as it was" : "not created";
  std::string error;
  std::uint64_t sum = 0;
  if (!ReserveResult(f, replacement.Output(), &error) || !WriteImage(f, replacement.Output(), output, &sum, &error)) {
    Report("Error: '%s' %s, the new copy could not be written: %s\n", output.c_str(), before, error.c_str());
    return Next::kFailed;
  }
  if (f.checked_ahead && sum != f.checked_sum) {
    Report("Error: '%s' %s, another program changed '%s' while it was being repaired\n", output.c_str(), before,
           f.path.c_str());
    return Next::kFailed;
  }
  const auto attributes = replacement.TakeModeOf(f.target.Input(), out.Input(), &error);
  if (attributes != os::Replacement::Attributes::kCopied) {
    if (attributes == os::Replacement::Attributes::kOtherOwner) error = "it belongs to another user";
    Report("Error: '%s' %s, cannot give the new copy its permissions: %s\n", output.c_str(), before,
           error.c_str());
    return Next::kFailed;
  }
  if (!replacement.Commit(out, &error, &f.target)) {
    if (replacement.NameChanged()) {
      Report("Error: '%s' holds the repair of '%s', but %s\n", output.c_str(), f.path.c_str(), error.c_str());
    } else {
      Report("Error: '%s' %s; the repair of '%s' was not put in place: %s\n", output.c_str(), before,
             f.path.c_str(), error.c_str());
    }
    return Next::kFailed;
  }
  f.target.DropLease();
  return Finish(true);
}

}  // namespace

Next WriteResult(PerFile& f) {
  const Header original = f.header;
  PutBeforeEnd(f.header, f.end_index, kMarkerText);
  RebuildBzeroCards(f);
  return OUT_FNAME ? WriteToOutputFile(f) : WriteReplacement(f, f.target, original);
}

}  // namespace corvane
