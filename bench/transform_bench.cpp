// The pixel transforms on a 64 MiB data area, each path against a memcpy of
// the same buffer measured in the same run. Every iteration starts from the
// same pixels (the copy back is not timed), so each path sees the same values.
// Two pixel sets: uniform noise over the whole range (the worst case for the
// 16-bit lookup table) and a sky-like image (background, noise, a few stars).
// The 32-bit scale kernels, each form this processor runs, also run within the
// cache on four pixel sets, beside a memcpy of the same buffer (MemcpyInCache).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "fits/pixel_kernels.h"
#include "fits/pixel_math.h"

namespace corvane {
namespace {

constexpr std::size_t kBytes = 64u << 20;

enum class Pixels { kNoise, kSky };

std::vector<std::uint8_t> MakePixels(Pixels kind) {
  std::vector<std::uint8_t> bytes(kBytes);
  std::mt19937_64 random(1);
  std::normal_distribution<double> background(2000.0, 60.0);
  for (std::size_t i = 0; i < kBytes; i += 2) {
    std::uint16_t value = static_cast<std::uint16_t>(random());
    if (kind == Pixels::kSky && random() % 1000 != 0) {
      value = static_cast<std::uint16_t>(std::clamp(background(random), 0.0, 65535.0));
    }
    bytes[i] = static_cast<std::uint8_t>(value >> 8);
    bytes[i + 1] = static_cast<std::uint8_t>(value & 0xFF);
  }
  return bytes;
}

const std::vector<std::uint8_t>& Pristine(Pixels kind = Pixels::kNoise) {
  static const std::vector<std::uint8_t> noise = MakePixels(Pixels::kNoise);
  static const std::vector<std::uint8_t> sky = MakePixels(Pixels::kSky);
  return kind == Pixels::kNoise ? noise : sky;
}

void Memcpy(benchmark::State& state) {
  std::vector<std::uint8_t> target(kBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), Pristine().data(), kBytes);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

template <int kBits>
void Transform(benchmark::State& state, PixelPlan plan, Pixels kind) {
  std::vector<std::uint8_t> data(Pristine(kind));
  for (auto _ : state) {
    if constexpr (kBits == 16) Transform16(data.data(), kBytes, plan);
    if constexpr (kBits == 32) Transform32(data.data(), kBytes, plan);
    benchmark::ClobberMemory();
    state.PauseTiming();
    std::memcpy(data.data(), Pristine(kind).data(), kBytes);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

BENCHMARK(Memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
void Transform16Bench(benchmark::State& state, PixelPlan plan, Pixels kind) { Transform<16>(state, plan, kind); }
void Transform32Bench(benchmark::State& state, PixelPlan plan) { Transform<32>(state, plan, Pixels::kNoise); }

#define CORVANE_BENCH(...) BENCHMARK_CAPTURE(__VA_ARGS__)->Unit(benchmark::kMillisecond)->UseRealTime()
CORVANE_BENCH(Transform16Bench, offset16, PixelPlan{-1, 1.0, false}, Pixels::kNoise);
CORVANE_BENCH(Transform16Bench, scale16_noise, PixelPlan{0, 0.7, false}, Pixels::kNoise);
CORVANE_BENCH(Transform16Bench, scale16_sky, PixelPlan{0, 0.7, false}, Pixels::kSky);
CORVANE_BENCH(Transform16Bench, stretch16_noise, PixelPlan{-1, 1.0, true}, Pixels::kNoise);
CORVANE_BENCH(Transform16Bench, stretch16_sky, PixelPlan{-1, 1.0, true}, Pixels::kSky);
CORVANE_BENCH(Transform32Bench, offset32, PixelPlan{-1, 1.0, false});
CORVANE_BENCH(Transform32Bench, scale32, PixelPlan{0, 0.7, false});

// Pixel sets for the 32-bit scale: uniform over the whole range, values of 16
// bits, multiples of 10 (products that land on whole numbers), half zeros.
enum class Set32 { kUniform, kSixteenBit, kTens, kHalfZeros };
constexpr std::size_t kCacheBytes = 128u << 10;

std::vector<std::uint8_t> MakePixels32(Set32 kind) {
  std::vector<std::uint8_t> bytes(kCacheBytes);
  std::mt19937_64 random(2);
  for (std::size_t i = 0; i < kCacheBytes; i += 4) {
    auto value = static_cast<std::uint32_t>(random());
    if (kind == Set32::kSixteenBit) value &= 0xFFFF;
    if (kind == Set32::kTens) value = value / 10 * 10;
    if (kind == Set32::kHalfZeros && random() % 2 == 0) value = 0;
    for (int b = 0; b < 4; ++b) bytes[i + b] = static_cast<std::uint8_t>(value >> (24 - 8 * b));
  }
  return bytes;
}

// memcpy of the in-cache buffer into another, the kernels' yardstick.
void MemcpyInCache(benchmark::State& state) {
  const std::vector<std::uint8_t> from = MakePixels32(Set32::kUniform);
  std::vector<std::uint8_t> to(kCacheBytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kCacheBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.counters["ns_per_pixel"] = benchmark::Counter(static_cast<double>(state.iterations()) * (kCacheBytes / 4) / 1e9,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCacheBytes));
}
BENCHMARK(MemcpyInCache)->Unit(benchmark::kMicrosecond);

// The kernel from one buffer into another, both in the cache, in CPU time
// (as MemcpyInCache), since the machine it runs on may be shared.
void Scale32Kernel(benchmark::State& state, kernels::Isa isa, Set32 kind) {
  if (!kernels::Supports(isa)) {
    state.SkipWithError("this processor lacks the instructions");
    return;
  }
  const std::vector<std::uint8_t> from = MakePixels32(kind);
  std::vector<std::uint8_t> to(kCacheBytes);
  kernels::Use(isa);
  PixelStream stream(32, PixelPlan{0, 0.7, false});
  for (auto _ : state) {
    stream.Apply(from.data(), to.data(), kCacheBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  for (const kernels::Isa best : {kernels::Isa::kPortable, kernels::Isa::kAvx2}) kernels::Use(best);
  state.counters["ns_per_pixel"] = benchmark::Counter(static_cast<double>(state.iterations()) * (kCacheBytes / 4) / 1e9,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCacheBytes));
}

#define CORVANE_KERNEL(name, isa, set) \
  BENCHMARK_CAPTURE(Scale32Kernel, name, kernels::Isa::isa, Set32::set)->Unit(benchmark::kMicrosecond)
CORVANE_KERNEL(portable_uniform, kPortable, kUniform);
CORVANE_KERNEL(portable_16bit, kPortable, kSixteenBit);
CORVANE_KERNEL(portable_tens, kPortable, kTens);
CORVANE_KERNEL(portable_half_zeros, kPortable, kHalfZeros);
CORVANE_KERNEL(avx2_uniform, kAvx2, kUniform);
CORVANE_KERNEL(avx2_16bit, kAvx2, kSixteenBit);
CORVANE_KERNEL(avx2_tens, kAvx2, kTens);
CORVANE_KERNEL(avx2_half_zeros, kAvx2, kHalfZeros);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
