// The image's size from its NAXIS cards, so that the zero fill after the last
// pixel stays fill: a repair that offset or sign-shifted those bytes would
// leave a file whose fill area FITS readers reject.
#include <optional>
#include <string_view>

#include "fits/fits.h"
#include "numbers.h"

namespace corvane {
namespace {

constexpr std::string_view kAxisKeyword = "NAXIS";
constexpr std::size_t kKeywordLength = 8;  // columns 1-8

// The value of a card, taken strictly: a whole integer after the "=" and before
// any "/" comment; nothing when it holds something else.
std::optional<std::int64_t> CardInteger(const Card& card) {
  const std::string_view text(card.data(), kCardLen);
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  std::string_view value = text.substr(equals + 1);
  value = value.substr(0, value.find('/'));
  const std::optional<std::int32_t> number = WholeInt32(value);
  if (!number) return std::nullopt;
  return *number;
}

// The axis a keyword names: 0 for NAXIS, n for NAXISn, -1 for any other keyword.
int AxisOf(std::string_view keyword) {
  if (!keyword.starts_with(kAxisKeyword)) return -1;
  keyword.remove_prefix(kAxisKeyword.size());
  int axis = 0;
  std::size_t at = 0;
  for (; at < keyword.size() && keyword[at] >= '0' && keyword[at] <= '9'; ++at) axis = axis * 10 + (keyword[at] - '0');
  if (keyword.find_first_not_of(' ', at) != std::string_view::npos) return -1;
  if (at == 0) return 0;
  return keyword[0] == '0' ? -1 : axis;
}

}  // namespace

void NoteAxis(PerFile& f, const Card& card) {
  const int axis = AxisOf(std::string_view(card.data(), kKeywordLength));
  if (axis < 0 || axis >= kCardsPerBlock) return;  // a header block cannot name more axes
  const std::int64_t value = CardInteger(card).value_or(-1);
  if (axis == 0) {
    f.naxis = static_cast<int>(value < 0 || value >= kCardsPerBlock ? kCardsPerBlock : value);
  } else {
    f.axis[static_cast<std::size_t>(axis)] = value;
  }
}

std::optional<std::int64_t> ImageBytes(const PerFile& f, std::int64_t data_area) {
  if (f.naxis < 0 || f.naxis >= kCardsPerBlock || f.bpp == 0 || f.bpp % 8 != 0) return std::nullopt;
  // Every axis must be known; one of length 0 makes an empty image, wherever
  // it stands, however long the axes before it.
  bool empty = f.naxis == 0;
  for (int n = 1; n <= f.naxis; ++n) {
    const std::int64_t length = f.axis[static_cast<std::size_t>(n)];
    if (length < 0) return std::nullopt;
    empty = empty || length == 0;
  }
  if (empty) return 0;
  std::int64_t bytes = (f.bpp < 0 ? -std::int64_t{f.bpp} : std::int64_t{f.bpp}) / 8;
  for (int n = 1; n <= f.naxis; ++n) {
    const std::int64_t length = f.axis[static_cast<std::size_t>(n)];
    // Past the data area the size is wrong anyway; stop before it could overflow.
    if (bytes > data_area / length) return data_area + 1;
    bytes *= length;
  }
  return bytes;
}

std::int64_t PixelBytes(const PerFile& f) {
  const std::optional<std::int64_t> image = ImageBytes(f, f.data_size);
  return image && *image <= f.data_size ? *image : f.data_size;
}

}  // namespace corvane
