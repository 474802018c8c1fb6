// Four floats at a time, for the engine's inner loops: the mix at a constant gain, the
// spectrum's window and magnitudes. The vector types (GCC's, which clang shares) compile to SSE
// on x86 and to NEON or plain code elsewhere; loads and stores need no alignment.
#pragma once

#include <cmath>
#include <cstring>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace audio::vec {

using f4 = float __attribute__((vector_size(16)));
using i4 = int __attribute__((vector_size(16)));

inline f4 load(const float* p)
{
    f4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store(float* p, f4 v) { std::memcpy(p, &v, sizeof v); }

inline f4 splat(float x) { return f4 {x, x, x, x}; }

inline f4 sqrt(f4 v)
{
#if defined(__SSE__)
    return _mm_sqrt_ps(v);
#else
    return f4 {std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
#endif
}

inline f4 min(f4 a, f4 b) { return a < b ? a : b; }

// Elements 0 and 2 of a, then of b; and elements 1 and 3 of each (the real and imaginary parts
// of two pairs of complex numbers). Clang and GCC from 12 on share one shuffle; older GCC has
// only its own.
#if defined(__clang__) || __GNUC__ >= 12
inline f4 evens(f4 a, f4 b) { return __builtin_shufflevector(a, b, 0, 2, 4, 6); }
inline f4 odds(f4 a, f4 b) { return __builtin_shufflevector(a, b, 1, 3, 5, 7); }
#else
inline f4 evens(f4 a, f4 b) { return __builtin_shuffle(a, b, i4 {0, 2, 4, 6}); }
inline f4 odds(f4 a, f4 b) { return __builtin_shuffle(a, b, i4 {1, 3, 5, 7}); }
#endif

} // namespace audio::vec
