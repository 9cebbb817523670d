// FITS files for the tests, built from readable cards and pixel values, and
// read back: portable code, shared by the unit tests on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::testing {
// A FITS file's bytes: the cards (each padded to 80 characters) filling a
// 2880-byte header block, followed by `data` as it stands. A card "NAXIS1 = 0"
// as Header() makes it gets the number of whole pixels in `data`.
std::string FitsFile(const std::vector<std::string>& cards, const std::string& data = "");

// A header for an image of the given BITPIX: SIMPLE, BITPIX, NAXIS cards, then
// `extra` cards, then END.
std::vector<std::string> Header(int bitpix, const std::vector<std::string>& extra = {});

// A card "KEY     = value" with the value right-justified to column 30.
std::string ValueCard(const std::string& keyword, const std::string& value);

// Pixels in FITS (big-endian) byte order, and back.
std::string Be16(const std::vector<std::uint16_t>& pixels);
std::string Be32(const std::vector<std::uint32_t>& pixels);
std::vector<std::uint16_t> Pixels16(const std::string& bytes, std::size_t offset = 2880);
std::vector<std::uint32_t> Pixels32(const std::string& bytes, std::size_t offset = 2880);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
std::string Card(const std::string& file_bytes, int index);  // card `index` of a file's header

}  // namespace corvane::testing
