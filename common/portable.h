// Compiler extensions, each beside the portable form that gives the same
// result. The extension is only ever a faster route to the same value: a
// build with VEMK_PORTABLE defined uses the portable forms alone, and the
// test suite passes there too.
#pragma once

#include <cstdint>

#if !defined(VEMK_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
#define VEMK_HAVE_GNU_BUILTINS 1
#else
#define VEMK_HAVE_GNU_BUILTINS 0
#endif

#if VEMK_HAVE_GNU_BUILTINS && defined(__has_builtin)
#if __has_builtin(__builtin_expect_with_probability)
#define VEMK_HAVE_EXPECT_WITH_PROBABILITY 1
#endif
#endif
#ifndef VEMK_HAVE_EXPECT_WITH_PROBABILITY
#define VEMK_HAVE_EXPECT_WITH_PROBABILITY 0
#endif

namespace vemk::portable {

// `condition`, with a hint that it holds about half of the time: the
// compiler should then choose a conditional move over a branch.
inline bool coinToss(bool condition) {
#if VEMK_HAVE_EXPECT_WITH_PROBABILITY
    return __builtin_expect_with_probability(condition, 1, 0.5);
#else
    return condition;
#endif
}

// sum = a + b modulo 2^32; true when the addition carried out of 32 bits.
inline bool addCarries(std::uint32_t a, std::uint32_t b, std::uint32_t& sum) {
#if VEMK_HAVE_GNU_BUILTINS
    return __builtin_add_overflow(a, b, &sum);
#else
    sum = a + b;
    return sum < b;
#endif
}

} // namespace vemk::portable
