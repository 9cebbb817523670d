// The FITS repair engine: Fixup and its three phases (header block, pixels,
// writing), the per-file values they hand on, and the card and block constants.
// Only the first 2880 bytes of a file are header; everything after is pixels,
// which pass through a fixed amount of memory whatever the file's size.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fits/pixel_math.h"

#include "platform/os.h"

namespace corvane {

constexpr int kCardLen = 80;         // one header card, without terminator
constexpr int kCardsPerBlock = 36;   // cards in the one header block
constexpr int kBlockSize = 2880;     // header block size, and the unit files are filled to
static_assert(kCardLen * kCardsPerBlock == kBlockSize);
// The data area is read and written this much at a time (about 1 MiB): whole
// blocks, so an extension header never straddles two chunks, and whole pixels.
constexpr std::int64_t kChunkSize = std::int64_t{kBlockSize} * 364;
static_assert(kChunkSize % 4 == 0);

// One card slot: 80 characters and room for the terminator a formatted print adds.
using Card = std::array<char, kCardLen + 1>;

// The values of one Fixup call, shared by its phases.
struct PerFile {
  explicit PerFile(const std::string& file_path) : path(file_path) { axis.fill(-1); }

  const std::string& path;
  std::array<Card, kCardsPerBlock> header{};
  std::int32_t add_value = 0;     // ADD_VALUE, or -1 for a Registax file
  std::int32_t bzero_orig = 0;    // the value of the latest BZERO card; 0 when none was met
  std::int32_t pad_bytes = 0;     // -padbytes' value, or 2880 for an Astra Image file
  bool astra_undecided = false;   // an Astra Image card met before the NAXIS cards
  std::int32_t bpp = 0;           // value of the latest BITPIX card; 0 when none was met
  int end_index = 0;              // index of the last card beginning "END "
  bool saw_end = false;           // whether any card began "END "
  std::int64_t data_size = 0;     // file size, less 80 per card read: then the data area
  std::int64_t pixel_bytes = 0;   // how much of the data area is pixels; the rest is fill
  int naxis = -1;                 // the NAXIS card's value; -1 when none was read
  std::array<std::int64_t, kCardsPerBlock> axis{};  // NAXISn's value at [n]; -1 when none was read
  os::Target target;              // the input file, where it lives and the file itself
  os::Buffer data;                // one chunk of the data area
  std::optional<PixelStream> pixels;  // the transform, once the data area passed its checks
  std::uint64_t checked_sum = 0;  // DataSum of the data area as the checking pass read it
  bool checked_ahead = false;     // the whole data area passed them before writing began
  bool refused = false;           // the writer's own checks refused the file (and said why)
};

// Adds `length` bytes of the data area to a running checksum.
std::uint64_t DataSum(std::uint64_t sum, const std::uint8_t* data, std::int64_t length);

// How a phase leaves the file: go on to the next phase, or stop because it
// was written (or, with -check, would be), skipped by a rule, or failed, or
// because its new copy was handed over to be put in place (HandOver).
enum class Next { kContinue, kDone, kSkipped, kFailed, kQueued };

// What became of one file (with -check, what would have); kQueued: not known
// yet, FinishCommits tells.
enum class Outcome { kRepaired, kWouldRepair, kSkipped, kFailed, kQueued };

// Reads bytes [at, at + length) of the data area into the chunk buffer; false
// when the file no longer holds them (cut short meanwhile, or a disk error),
// and `cause` then says which.
bool ReadChunk(PerFile& f, std::int64_t at, std::int64_t length, std::string* cause);
// How many bytes of the chunk [at, at + length) of the data area are pixels:
// the rest is fill after the image, written back as it was read.
std::int64_t PixelsIn(const PerFile& f, std::int64_t at, std::int64_t length);

// Whether `card` is one the rewrite rebuilds as a BZERO card ("BZERO " with the blank).
inline bool IsBzeroCard(const Card& card) { return std::string_view(card.data(), 6) == "BZERO "; }

// Notes the image's size when `card` is a NAXIS or NAXISn card.
void NoteAxis(PerFile& file, const Card& card);
// The bytes of the image the NAXIS cards noted so far describe; nothing when
// they give no size. A size beyond `data_area` may be reported as data_area + 1.
std::optional<std::int64_t> ImageBytes(const PerFile& file, std::int64_t data_area);
// How many bytes at the start of the data area are pixels: the image's size
// from its NAXIS cards when they give one that the data area holds, else the
// whole data area (a producer that writes too little data, or no size).
std::int64_t PixelBytes(const PerFile& file);

// Repairs one file: repaired (with -check: would be), skipped by a rule, or
// failed. Everything it says goes to standard error, headed by the path. It
// reads the run settings and writes none, so a file's result never depends on
// the files before it.
Outcome Fixup(const std::string& path);

// Whether the -out file `output` is written directly: standard output, a
// FIFO, a terminal or another device, never leased, reserved or replaced.
bool WritesDirectly(const std::string& output);

// What an interrupting signal says as the run ends: that it came between two
// files, or which file it leaves as it was (a file being written through is
// finished first, and says the former once it is).
void NoteInterruptBetweenFiles();
void NoteInterruptDuring(const std::string& path);

// The BZERO a repaired file gets: -bzero's value, or the one it holds.
std::int32_t BzeroToWrite(const PerFile& file);

// The checks of the data area, for a writer that makes them as it writes
// when not checked_ahead: whether the chunk in `data` holds an extension
// header, and whether the file grew past its data area; each says why it
// refuses the file.
bool RefusedChunk(PerFile& f, std::int64_t length);
bool GrewMeanwhile(PerFile& f);
// The first pass over the data area's chunks before `end`: read errors,
// extension headers and, when it reaches the end, growth; it says why it
// refuses the file.
Next ScanDataArea(PerFile& f, std::int64_t end);

// The phases of Fixup, in order.
Next ReadHeaderBlock(PerFile& file);
Next TransformPixels(PerFile& file);
Next WriteResult(PerFile& file);
// With -check, in place of WriteResult: the refusals a run makes before it
// writes a byte that can be foreseen without writing (another program has
// the image open for writing), each reported as the run reports it.
Next ForeseeWrite(PerFile& file);

// The integer value of a card (80 characters, no terminator needed), or -1 with
// a message when it holds no "=".
std::int32_t fits_header_extract_value(const char* card);

// Swaps the byte order of every whole 2-byte (bpp 16) or 4-byte (bpp 32) group
// in `data`; any other bpp leaves it alone. Applied twice it restores the data.
void byteswap(std::uint8_t* data, std::int64_t length, std::int32_t bpp);

// Sets the first `count` bytes of `buffer` to zero; a count of 0 or less does nothing.
void bzero(std::uint8_t* buffer, std::int64_t count);

}  // namespace corvane
