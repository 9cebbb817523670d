// What the three ways of writing a result share: the header cards the
// rewrite adds, the header, body and whole-image writes, the size of the
// result, the lease on the input and the final OK. In place (writer.cpp),
// through the image (write_through.cpp) and to -out (output_file.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "fits/fits.h"

namespace corvane {

using Header = std::array<Card, kCardsPerBlock>;

inline constexpr int kLastCard = kCardsPerBlock - 1;

// A comment card takes the END card's place and END moves one card on; a
// header whose END is the last card has no room and keeps no card.
void PutBeforeEnd(Header& cards, int end_index, const char* text);

// Writes one header block to `target` from its current position; on failure
// `cause` says why.
bool WriteHeader(const Header& cards, os::File& target, std::string* cause);
// Writes the data area, extra bytes and fill to `target` from its current
// position, adding what it reads to `sum`; on failure `cause` says why, and
// the caller says what became of the file.
bool WriteBody(PerFile& f, os::File& target, std::uint64_t* sum, std::string* cause);
// Writes the whole result, header first, as WriteBody does.
bool WriteImage(PerFile& f, os::File& target, std::uint64_t* sum, std::string* cause);

// The size of the written file: header, data, extra bytes and fill.
std::int64_t ResultSize(const PerFile& f);
// Reserves the whole result in a new file before it is written: the disk then
// allocates it at once, and a disk too full for it fails as a first write would.
bool ReserveResult(PerFile& f, os::File& target, std::string* cause);

// Reserves and writes the whole result into `copy`, a new copy beside
// `beside`, as ReserveResult and WriteImage do; one that finds the disk full
// while copies wait to be put in place is made and written again after them.
bool WriteCopy(PerFile& f, std::optional<os::Replacement>& copy, const os::Target& beside, std::uint64_t* sum,
               std::string* cause);

// Takes a read lease on the input; false, with a report line, when another
// program has it open for writing.
bool LeaseInput(PerFile& f);

// The last line of a written file: OK, or nothing more after a failure.
Next Finish(bool written);

// Writes the result over the image itself (write_through.cpp).
Next WriteThrough(PerFile& f, os::Target& target, const Header& original);
// Writes the result to the -out file (output_file.cpp).
Next WriteToOutputFile(PerFile& f);

}  // namespace corvane
