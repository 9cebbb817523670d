// Makes the sample files of the demo and shows what is in them.
//   corvane_samples write DIR    writes the five samples into DIR
//   corvane_samples show FILE... prints a few header cards and the first pixels
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string Card(const std::string& text) {
  std::string card = text.substr(0, 80);
  card.resize(80, ' ');
  return card;
}

std::string Value(const char* keyword, const std::string& value) {
  char card[81];
  std::snprintf(card, sizeof card, "%-8s= %20s", keyword, value.c_str());
  return card;
}

// A header block with the given extra cards, then `data`.
std::string Image(int bitpix, int width, int height, const std::vector<std::string>& extra,
                  const std::string& data) {
  std::string header = Card("SIMPLE  =                    T") + Card(Value("BITPIX", std::to_string(bitpix))) +
                       Card(Value("NAXIS", "2")) + Card(Value("NAXIS1", std::to_string(width))) +
                       Card(Value("NAXIS2", std::to_string(height)));
  for (const std::string& card : extra) header += Card(card);
  header += Card("END");
  header.resize(2880, ' ');
  return header + data;
}

// A small sky: a background of about 1200 counts, a gradient and one star.
std::uint32_t Sky(int x, int y) {
  const int dx = x - 20, dy = y - 12;
  const int star = dx * dx + dy * dy < 9 ? 30000 / (1 + dx * dx + dy * dy) : 0;
  return static_cast<std::uint32_t>(1200 + 3 * x + 2 * y + star);
}

std::string Pixels16(int width, int height, std::uint16_t stored_offset) {
  std::string data;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto v = static_cast<std::uint16_t>(Sky(x, y) + stored_offset);
      data += static_cast<char>(v >> 8);
      data += static_cast<char>(v & 0xFF);
    }
  }
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  return data;
}

std::string Pixels32(int width, int height) {
  std::string data;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t v = Sky(x, y) * 65536u;
      for (int shift = 24; shift >= 0; shift -= 8) data += static_cast<char>((v >> shift) & 0xFF);
    }
  }
  data.resize((data.size() + 2879) / 2880 * 2880, '\0');
  return data;
}

bool Save(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return out.good();
}

int Write(const std::string& dir) {
  const std::string bzero16 = Value("BZERO", "32768");
  // Registax: unsigned 16-bit data stored one count too high.
  bool ok = Save(dir + "/registax16.fit", Image(16, 40, 24, {bzero16, "COMMENT= REGISTAX"}, Pixels16(40, 24, 32768 + 1)));
  // Astra Image: NAXIS claims two blocks of data, the file holds one.
  const std::string astra = Pixels16(80, 36, 32768);
  ok = ok && Save(dir + "/astra16.fit", Image(16, 80, 36, {bzero16, "ORIGIN  = 'Astra Image'"}, astra.substr(0, 2880)));
  // 32-bit: the header claims BZERO 2147483648, the data holds the values unshifted.
  ok = ok && Save(dir + "/wide32.fit", Image(32, 40, 24, {Value("BZERO", "2147483648")}, Pixels32(40, 24)));
  // Signed 16-bit data: nothing to fix.
  ok = ok && Save(dir + "/signed16.fit", Image(16, 40, 24, {Value("BZERO", "0")}, Pixels16(40, 24, 0)));
  // Already repaired by an earlier run.
  ok = ok && Save(dir + "/marked16.fit", Image(16, 40, 24, {bzero16, "COMMENT =Mangled by CORVANE - earlier run"},
                                               Pixels16(40, 24, 32768)));
  if (!ok) std::fprintf(stderr, "cannot write the samples into %s\n", dir.c_str());
  return ok ? 0 : 1;
}

// Prints the cards that matter and the first pixels, as stored and as meant (BZERO applied).
int Show(const char* path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 2880) return 1;
  long long bzero = 0;
  int bitpix = 0;
  std::printf("  %s (%zu bytes)\n", path, bytes.size());
  for (int j = 0; j < 36; ++j) {
    const std::string card = bytes.substr(static_cast<std::size_t>(j) * 80, 80);
    if (card.starts_with("BITPIX")) bitpix = std::atoi(card.c_str() + 10);
    if (card.starts_with("BZERO")) bzero = std::atoll(card.c_str() + 10);
    if (card.starts_with("BZERO") || card.starts_with("COMMENT") || card.starts_with("ORIGIN")) {
      std::printf("    | %s\n", card.substr(0, card.find_last_not_of(' ') + 1).c_str());
    }
  }
  std::printf("    first pixels (as meant):");
  const int width = bitpix == 32 ? 4 : 2;
  for (std::size_t i = 0; i < 4 && 2880 + (i + 1) * width <= bytes.size(); ++i) {
    std::uint32_t raw = 0;
    for (int k = 0; k < width; ++k) raw = (raw << 8) | static_cast<unsigned char>(bytes[2880 + i * width + k]);
    const long long value = width == 2 ? static_cast<std::int16_t>(raw) : static_cast<std::int32_t>(raw);
    std::printf(" %lld", value + bzero);
  }
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "write") == 0) return Write(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "show") == 0) {
    int status = 0;
    for (int i = 2; i < argc; ++i) status |= Show(argv[i]);
    return status;
  }
  std::fprintf(stderr, "usage: corvane_samples write DIR | show FILE...\n");
  return 2;
}
