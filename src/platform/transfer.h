// Pieces both platform implementations share: the whole-record transfer loop
// and the sizes that shape reads, writes and data buffers.
#pragma once

#include <cerrno>
#include <cstdint>

namespace corvane::os {

// A single read or write moves at most this much, below every system's limit.
constexpr std::int64_t kMaxTransfer = std::int64_t{1} << 30;

// Data areas from this size on get memory of their own from the system (in
// huge pages where offered); smaller ones come from the allocator, which hands
// the same memory to the next file of a run.
constexpr std::uint64_t kLargeBuffer = std::uint64_t{32} << 20;

// Calls `step(offset, chunk)`, which moves up to `chunk` bytes at `offset` and
// returns how many it moved, until `count` bytes are moved, a step moves none
// (end of file) or fails; a step interrupted by a signal is repeated. Returns
// the bytes moved.
template <typename Step>
std::int64_t TransferFull(std::int64_t count, Step step) {
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t chunk = count - done < kMaxTransfer ? count - done : kMaxTransfer;
    const std::int64_t moved = step(done, chunk);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;
    done += moved;
  }
  return done;
}

}  // namespace corvane::os
