// An unsigned 128-bit integer in plain standard C++: two 64-bit halves.
//
// The scaling of byte counts rounds exactly on integers of up to about 120
// bits. No compiler's own 128-bit type is needed for that, and none is
// used, so the same code runs on every platform and word size. Speed does
// not matter here: a table is scaled once per file.
//
// Arithmetic is modulo 2^128, like the built-in unsigned types; shifts take
// counts 0..127.
#pragma once

#include <bit>
#include <cstdint>

namespace vemk {

struct Wide {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;

    constexpr Wide() = default;
    constexpr Wide(std::uint64_t low) : lo(low) {} // NOLINT: widening, like the built-in types
    constexpr Wide(std::uint64_t high, std::uint64_t low) : hi(high), lo(low) {}

    constexpr explicit operator std::uint64_t() const { return lo; }
    constexpr explicit operator std::int32_t() const { return static_cast<std::int32_t>(lo); }

    friend constexpr bool operator==(const Wide&, const Wide&) = default;
    friend constexpr bool operator<(const Wide& a, const Wide& b) {
        return a.hi != b.hi ? a.hi < b.hi : a.lo < b.lo;
    }
    friend constexpr bool operator>(const Wide& a, const Wide& b) { return b < a; }
    friend constexpr bool operator>=(const Wide& a, const Wide& b) { return !(a < b); }

    friend constexpr Wide operator+(const Wide& a, const Wide& b) {
        std::uint64_t low = a.lo + b.lo;
        return {a.hi + b.hi + (low < a.lo ? 1 : 0), low};
    }
    friend constexpr Wide operator-(const Wide& a, const Wide& b) {
        return {a.hi - b.hi - (a.lo < b.lo ? 1 : 0), a.lo - b.lo};
    }
    friend constexpr Wide operator&(const Wide& a, const Wide& b) { return {a.hi & b.hi, a.lo & b.lo}; }
    friend constexpr Wide operator|(const Wide& a, const Wide& b) { return {a.hi | b.hi, a.lo | b.lo}; }

    friend constexpr Wide operator<<(const Wide& a, int n) {
        if (n == 0) {
            return a;
        }
        if (n >= 64) {
            return {a.lo << (n - 64), 0};
        }
        return {(a.hi << n) | (a.lo >> (64 - n)), a.lo << n};
    }
    friend constexpr Wide operator>>(const Wide& a, int n) {
        if (n == 0) {
            return a;
        }
        if (n >= 64) {
            return {0, a.hi >> (n - 64)};
        }
        return {a.hi >> n, (a.lo >> n) | (a.hi << (64 - n))};
    }

    // The low 128 bits of the product, from 32-bit pieces so that no partial
    // product needs more than 64 bits.
    friend constexpr Wide operator*(const Wide& a, const Wide& b) {
        constexpr std::uint64_t mask = 0xFFFFFFFF;
        std::uint64_t a0 = a.lo & mask, a1 = a.lo >> 32, b0 = b.lo & mask, b1 = b.lo >> 32;
        std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        std::uint64_t middle = (p00 >> 32) + (p01 & mask) + (p10 & mask);
        std::uint64_t low = (middle << 32) | (p00 & mask);
        std::uint64_t high = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
        return {high + a.hi * b.lo + a.lo * b.hi, low};
    }

    Wide& operator+=(const Wide& b) { return *this = *this + b; }
    Wide& operator>>=(int n) { return *this = *this >> n; }
};

// Number of significant bits: 0 for 0.
constexpr int bitLength(const Wide& x) {
    return x.hi != 0 ? 128 - std::countl_zero(x.hi) : 64 - std::countl_zero(x.lo);
}

struct WideDivision {
    Wide quotient;
    Wide remainder;
};

// a / d and a % d for d > 0, one bit at a time.
constexpr WideDivision divide(const Wide& a, const Wide& d) {
    WideDivision r;
    for (int bit = bitLength(a) - 1; bit >= 0; --bit) {
        r.remainder = (r.remainder << 1) | ((a >> bit) & Wide{1});
        r.quotient = r.quotient << 1;
        if (r.remainder >= d) {
            r.remainder = r.remainder - d;
            r.quotient = r.quotient | Wide{1};
        }
    }
    return r;
}

} // namespace vemk
