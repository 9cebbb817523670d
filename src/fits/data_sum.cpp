// A checksum of the data area, taken in the checking pass and again in the
// writing pass: a difference means another program changed the pixels in
// between, so what would be written is not what was checked.
#include <cstring>

#include "fits/fits.h"

namespace corvane {

namespace {

constexpr std::uint64_t kPrime = 0x100000001b3ULL;

std::uint64_t Step(std::uint64_t sum, std::uint64_t word) {
  sum = (sum ^ word) * kPrime;
  return (sum << 29) | (sum >> 35);
}

}  // namespace

std::uint64_t DataSum(std::uint64_t sum, const std::uint8_t* data, std::int64_t length) {
  // Four independent lanes of eight bytes, each step a multiply and a rotate,
  // so the steps overlap: far faster than the transform, and a change of any
  // byte changes the result. Both passes hand over the same chunks.
  std::uint64_t lanes[4] = {sum, ~sum, sum ^ kPrime, sum + kPrime};
  std::int64_t at = 0;
  for (; at + 32 <= length; at += 32) {
    for (int lane = 0; lane < 4; ++lane) {
      std::uint64_t word = 0;
      std::memcpy(&word, data + at + std::int64_t{8} * lane, 8);
      lanes[lane] = Step(lanes[lane], word);
    }
  }
  sum = lanes[0];
  for (int lane = 1; lane < 4; ++lane) sum = Step(sum, lanes[lane]);
  for (; at < length; ++at) sum = Step(sum, data[at]);
  return sum ^ static_cast<std::uint64_t>(length);
}

}  // namespace corvane
