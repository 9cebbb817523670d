// FITS files for the tests: building and reading back.
#include "fits_builder.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvane::testing {

namespace {

// The pixel width a header's BITPIX card gives, or 0 when it has none.
std::size_t PixelWidth(const std::vector<std::string>& cards) {
  for (const std::string& card : cards) {
    if (card.starts_with("BITPIX  =")) return static_cast<std::size_t>(std::abs(std::atoi(card.c_str() + 9))) / 8;
  }
  return 0;
}

}  // namespace

std::string FitsFile(const std::vector<std::string>& cards, const std::string& data) {
  std::string header;
  const std::size_t width = PixelWidth(cards);
  for (const std::string& card : cards) {
    // Header()'s NAXIS1 takes the number of whole pixels the data holds.
    const bool sized = card == ValueCard("NAXIS1", "0") && width > 0;
    std::string padded = sized ? ValueCard("NAXIS1", std::to_string(data.size() / width)) : card.substr(0, 80);
    padded.resize(80, ' ');
    header += padded;
  }
  header.resize(2880, ' ');
  return header + data;
}

std::string ValueCard(const std::string& keyword, const std::string& value) {
  std::string card = keyword;
  card.resize(8, ' ');
  card += "= ";
  card += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
  return card;
}

std::vector<std::string> Header(int bitpix, const std::vector<std::string>& extra) {
  std::vector<std::string> cards = {ValueCard("SIMPLE", "T"), ValueCard("BITPIX", std::to_string(bitpix)),
                                    ValueCard("NAXIS", "1"), ValueCard("NAXIS1", "0")};
  cards.insert(cards.end(), extra.begin(), extra.end());
  cards.push_back("END");
  return cards;
}

std::string Be16(const std::vector<std::uint16_t>& pixels) {
  std::string bytes;
  for (std::uint16_t p : pixels) {
    bytes.push_back(static_cast<char>(p >> 8));
    bytes.push_back(static_cast<char>(p & 0xFF));
  }
  return bytes;
}

std::string Be32(const std::vector<std::uint32_t>& pixels) {
  std::string bytes;
  for (std::uint32_t p : pixels) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>((p >> shift) & 0xFF));
  }
  return bytes;
}

std::vector<std::uint16_t> Pixels16(const std::string& bytes, std::size_t offset) {
  std::vector<std::uint16_t> pixels;
  for (std::size_t at = offset; at + 2 <= bytes.size(); at += 2) {
    pixels.push_back(static_cast<std::uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                                static_cast<unsigned char>(bytes[at + 1])));
  }
  return pixels;
}

std::vector<std::uint32_t> Pixels32(const std::string& bytes, std::size_t offset) {
  std::vector<std::uint32_t> pixels;
  for (std::size_t at = offset; at + 4 <= bytes.size(); at += 4) {
    std::uint32_t p = 0;
    for (std::size_t k = 0; k < 4; ++k) p = (p << 8) | static_cast<unsigned char>(bytes[at + k]);
    pixels.push_back(p);
  }
  return pixels;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.good();
}

std::string Card(const std::string& file_bytes, int index) {
  return file_bytes.substr(static_cast<std::size_t>(index) * 80, 80);
}

}  // namespace corvane::testing
