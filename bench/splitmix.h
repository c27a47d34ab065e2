// The seeded generator of the benchmark's data: splitmix64, so that the same
// seed gives the same bytes on every machine.
#pragma once

#include <cstdint>

namespace vemk::bench {

inline std::uint64_t splitmix(std::uint64_t& state) {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace vemk::bench
