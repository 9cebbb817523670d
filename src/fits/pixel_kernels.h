// The pixel loops that have a faster form on some processors, and the choice
// between the forms, made once at run time from what the processor offers: the
// program itself is built for the oldest processor of its kind, so it runs on
// every one and uses the wider instructions only where they exist.
#pragma once

#include <cstdint>

#include "fits/pixel_math.h"

namespace corvane::kernels {

// The forms of the loops: the portable one, built for the baseline and the
// reference for the others, and AVX2 with FMA (x86-64 only).
enum class Isa { kPortable, kAvx2 };

// Whether this processor (and system) runs the form.
bool Supports(Isa isa);
// The form in use: the fastest supported, unless Use chose another.
Isa Active();
// Chooses the form for what follows (tests, benchmarks); ignored when unsupported.
void Use(Isa isa);

// to[i] = from[i] + add on 16-bit pixels in file byte order (wrapping).
void Offset16(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint16_t add);
// The same on 32-bit pixels.
void Offset32(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint32_t add);

// Each 32-bit pixel in file byte order: (pixel + add, wrapping) times `factor`
// exactly as ScaleToInt64, kept modulo 2^32, plus `offset`. Returns false,
// having written nothing, where the active form has no faster path for it (the
// portable form, a factor that is not a finite number): the caller then uses
// the exact function.
bool Scale32(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint32_t add,
             const Factor& factor, std::uint32_t offset);

}  // namespace corvane::kernels
