// The first phase of Fixup: open the file, read its header block and run the
// card tests on every card, deciding whether the file is repaired, skipped by a
// rule or refused. Also notes the producer (Registax, Astra Image) and the END card.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <optional>

#include "settings.h"
#include "fits/committer.h"
#include "fits/fits.h"
#include "report.h"

namespace corvane {
namespace {

constexpr char kMarkerPrefix[] = "COMMENT =Mangled by CORVANE";
constexpr char kUnderWayPrefix[] = "COMMENT =CORVANE repair under way";
constexpr char kRegistaxPrefix[] = "COMMENT= REGISTAX";
constexpr char kAstraPrefix[] = "ORIGIN  = 'Astra Image";
constexpr char kSimplePrefix[] = "SIMPLE  =                    T";
constexpr std::int32_t kAstraPadding = kBlockSize;
constexpr std::int32_t kUnsignedBzero16 = 32768;

// Whether `card` begins with the literal `prefix`, compared case-sensitively.
template <std::size_t N>
bool StartsWith(const Card& card, const char (&prefix)[N]) {
  return std::memcmp(card.data(), prefix, N - 1) == 0;
}

// A 16-bit file whose BZERO is not 32768 holds signed data already.
Next TestBzero(PerFile& f, const Card& card) {
  const std::int32_t value = fits_header_extract_value(card.data());
  Report("\tBZERO %d\n", value);
  if (force == 0 && f.bpp == 16 && value != kUnsignedBzero16) {
    Report("\tLooks like this file does not need fixing. Skipping...\n");
    return Next::kSkipped;
  }
  f.bzero_orig = value;
  return Next::kContinue;
}

Next TestBitpix(PerFile& f, const Card& card) {
  f.bpp = fits_header_extract_value(card.data());
  Report("\tBPP %d\n", f.bpp);
  if (f.bpp != 16 && f.bpp != 32 && f.bpp != -32) {
    Report("\t**invalid BPP (support only 16 or 32) **\n");
    return Next::kSkipped;
  }
  return Next::kContinue;
}

// Registax writes pixels one too high; an explicit non-zero offset wins.
void NoteRegistax(PerFile& f) {
  Report("\t*Authored by: Registax.\n");
  if (f.add_value == 0) {
    f.add_value = -1;
    Report("    ->  Adjusting pixel values by -1\n");
  }
}

// Astra Image writes one block of data too few; the file gets it back, unless
// -padbytes said otherwise, or its NAXIS cards show the data area whole.
// The size is judged when the card is met if the NAXIS cards came before it,
// as they do in a standard header; otherwise once the whole block is read.
void NoteAstraImage(PerFile& f, bool whole_header) {
  const std::int64_t data_area = f.target.Status().size - kBlockSize;
  const std::optional<std::int64_t> image = ImageBytes(f, data_area);
  if (!image && !whole_header) {
    f.astra_undecided = true;
    return;
  }
  f.astra_undecided = false;
  if (image && *image <= data_area) {
    Report("\t*Authored by: Astra Image, whose data area is whole here: nothing padded\n");
    return;
  }
  f.pad_bytes = kAstraPadding;
  Report("\t*Authored by: Astra Image, padding extra 2880 bytes\n");
}

Next TestCard(PerFile& f, int index) {
  const Card& card = f.header[static_cast<std::size_t>(index)];
  if (StartsWith(card, "BZERO")) {
    if (const Next next = TestBzero(f, card); next != Next::kContinue) return next;
  }
  if (StartsWith(card, "BITPIX")) {
    if (const Next next = TestBitpix(f, card); next != Next::kContinue) return next;
  }
  if (force == 0 && StartsWith(card, kMarkerPrefix)) {
    Report("\tLooks like this file has already been mangled. Skipping...\n");
    return Next::kSkipped;
  }
  if (StartsWith(card, kRegistaxPrefix)) NoteRegistax(f);
  if (f.pad_bytes == 0 && !f.astra_undecided && StartsWith(card, kAstraPrefix)) NoteAstraImage(f, false);
  if (!f.saw_end) NoteAxis(f, card);  // cards after END are no part of the header
  if (StartsWith(card, "END ")) {
    f.end_index = index;
    f.saw_end = true;
  }
  return Next::kContinue;
}

// A write through the image that was cut off leaves a card saying so: the
// file is neither the original nor the repair, and no run can tell which
// pixels were rewritten. It is refused before any rule could skip it as
// marked or as needing no fix, even with -force, and whatever its signature.
bool WasCutOff(const PerFile& f, const char* block, std::int64_t got) {
  for (std::int64_t at = 0; at + kCardLen <= got; at += kCardLen) {
    if (std::memcmp(block + at, kUnderWayPrefix, sizeof kUnderWayPrefix - 1) != 0) continue;
    Report("Error: '%s' is damaged: a repair written through it was interrupted, so its pixels are partly "
           "rewritten; restore the original from a backup\n", f.path.c_str());
    return true;
  }
  return false;
}

// A FIFO, a device or a socket: reported, never read.
bool IsSpecialFile(const PerFile& f) {
  if (f.target.Status().is_regular || f.target.Status().is_directory) return false;
  Report("Error: '%s' is not a regular file\n", f.path.c_str());
  return true;
}

// Says once per folder and run that a new copy left by an interrupted run is
// there, whatever becomes of the file: a run that only skips files says it too.
void NoteLeftover(const PerFile& f) {
  const std::string name = f.target.LeftoverCopy();
  if (name.empty()) return;
  Report("Note: the folder of '%s' holds '%s', a copy left by an interrupted run (or one going on now); once "
         "no run is going it can be removed\n", f.path.c_str(), name.c_str());
}

// Opens the file, then checks it is one: a FIFO would block the run forever
// and a device is no image, so only regular files are read (a directory's
// read then fails like any unreadable file's). The file stays locked against
// other runs until Fixup is done with it.
Next OpenInput(PerFile& f) {
  // With an output file the input is only read, so a read-only input works.
  const os::Access access = OUT_FNAME ? os::Access::kRead : os::Access::kReadWrite;
  if (const int error = OpenMakingRoom([&] { return f.target.Open(f.path, access); }); error != 0) {
    Report("Error: cannot open '%s': %s\n", f.path.c_str(), os::ErrorText(error).c_str());
    // One's own image that may be read but not written: say what will work.
    os::FileStatus status;
    const bool image = os::QueryStatus(f.path, &status) && status.is_regular;
    if (access == os::Access::kReadWrite && os::MeansReadOnly(error) && image &&
        os::IsReadable(f.path) == os::Readable::kYes) {
      Report("\t'%s' is read-only: make it writable, or write the repaired image to another file with -out\n",
             f.path.c_str());
    }
    return Next::kFailed;
  }
  if (IsSpecialFile(f)) return Next::kFailed;
  // A file named twice (or under two names) may have a copy waiting to be put
  // in place: that repair is finished first, and what then has the name is read.
  if (IsWaiting(f.target)) {
    WaitForCommits();
    return OpenInput(f);
  }
  int lock_error = f.target.Lock(access, false);
  if (lock_error == EWOULDBLOCK) {
    Report("\tWaiting for another program to finish with this file...\n");
    lock_error = f.target.Lock(access, true);
  }
  if (lock_error != 0) {
    Report("Error: cannot lock '%s': %s\n", f.path.c_str(), os::ErrorText(lock_error).c_str());
    return Next::kFailed;
  }
  if (IsSpecialFile(f)) return Next::kFailed;  // something else may have taken the name meanwhile
  NoteLeftover(f);
  f.data_size = f.target.Status().size;
  return Next::kContinue;
}

// Options that cannot act on this file would leave it marked but not changed
// as asked: floating-point pixels take no offset or scale, and a BZERO card
// must be there for -bzero to set.
Next CheckOptionsApply(PerFile& f) {
  if (f.bpp == -32 && (ADD_VALUE != 0 || SCALE_VALUE != 1.0 || do_stretch != 0)) {
    Report("Error: '%s' left unchanged: its pixels are floating point (BITPIX -32), which -add, -scale and "
           "-stretch do not change\n",
           f.path.c_str());
    return Next::kFailed;
  }
  // A BZERO card after the first END is no part of the header: readers never see it.
  const auto end =
      std::find_if(f.header.begin(), f.header.end(), [](const Card& card) { return StartsWith(card, "END "); });
  const bool has_bzero = std::any_of(f.header.begin(), end, IsBzeroCard);
  if (set_bzero != 0 && !has_bzero) {
    Report("Error: '%s' left unchanged: it has no BZERO card for -bzero to set\n", f.path.c_str());
    return Next::kFailed;
  }
  return Next::kContinue;
}

// The header block after all cards were tested: the signature, then the cards
// a rewrite depends on.
Next CheckHeaderBlock(PerFile& f) {
  if (!StartsWith(f.header[0], kSimplePrefix)) {
    Report("Invalit FIT signature at start of file '%s'\n", f.path.c_str());
    return Next::kFailed;
  }
  // Without an END card in this block the header goes on past it: the marker
  // would land on the SIMPLE card and the next header block would pass for pixels.
  if (!f.saw_end) {
    Report("Error: no END card in the header block of '%s'\n", f.path.c_str());
    Report("\tIts header does not end in its first block of 36 cards: Corvane repairs only images whose header "
           "is one block long\n");
    return Next::kFailed;
  }
  if (f.bpp == 0) {
    Report("Error: no BITPIX card in '%s'\n", f.path.c_str());
    return Next::kFailed;
  }
  // The marker takes the END card's place and END moves one card on; with END
  // as the last card there is no room, and a later run would repair the
  // repaired pixels again.
  if (f.end_index == kCardsPerBlock - 1) {
    if (force == 0) {
      Report("Error: '%s' left unchanged: its header block is full, so it cannot be marked as repaired and a "
             "later run would repair it again; -force repairs it anyway, unmarked\n",
             f.path.c_str());
      return Next::kFailed;
    }
    Report("\tIts header block is full: no mark is added, as -force asks\n");
  }
  if (f.astra_undecided) NoteAstraImage(f, true);
  if (const Next next = CheckOptionsApply(f); next != Next::kContinue) return next;
  f.pixel_bytes = PixelBytes(f);
  return Next::kContinue;
}

}  // namespace

Next ReadHeaderBlock(PerFile& f) {
  if (Next next = OpenInput(f); next != Next::kContinue) return next;
  char block[kBlockSize];
  int error = 0;
  const std::int64_t got = f.target.Input().ReadFull(block, kBlockSize, &error);
  if (WasCutOff(f, block, got)) return Next::kFailed;
  for (int j = 0; j < kCardsPerBlock; ++j) {
    if (got < std::int64_t{j + 1} * kCardLen) {
      if (error != 0) {
        Report("Error reading header line %d in %s: %s\n", j + 1, f.path.c_str(), os::ErrorText(error).c_str());
      } else {
        Report("Error reading header line %d in %s\n", j + 1, f.path.c_str());
        Report("\t'%s' is too short to be a FITS file: %" PRId64 " bytes, less than the 2880 of one header block\n",
               f.path.c_str(), got);
      }
      return Next::kFailed;
    }
    Card& card = f.header[static_cast<std::size_t>(j)];
    std::memcpy(card.data(), block + static_cast<std::ptrdiff_t>(j) * kCardLen, kCardLen);
    f.data_size -= kCardLen;
    if (const Next next = TestCard(f, j); next != Next::kContinue) return next;
  }
  return CheckHeaderBlock(f);
}

}  // namespace corvane

