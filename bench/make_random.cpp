// Writes a fixed number of pseudo-random bytes for the incompressible
// benchmark input. The generator is splitmix64 with a fixed default seed,
// so every machine makes the same file and timings compare across runs.
//
//   make_random OUT BYTES [SEED]
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "splitmix.h"

namespace {


bool parse(const char* text, std::uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') {
        return false;
    }
    value = v;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::uint64_t bytes = 0;
    std::uint64_t seed = 0x76656D6B; // "vemk"
    if (argc < 3 || argc > 4 || !parse(argv[2], bytes) || (argc == 4 && !parse(argv[3], seed))) {
        std::fprintf(stderr, "usage: make_random OUT BYTES [SEED]\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "make_random: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    std::uint64_t state = seed;
    std::vector<unsigned char> block(1 << 16);
    while (bytes > 0) {
        std::size_t n = bytes < block.size() ? static_cast<std::size_t>(bytes) : block.size();
        for (std::size_t i = 0; i < n; i += 8) {
            std::uint64_t word = vemk::bench::splitmix(state);
            for (std::size_t k = 0; k < 8 && i + k < n; ++k) {
                block[i + k] = static_cast<unsigned char>(word >> (8 * k));
            }
        }
        if (std::fwrite(block.data(), 1, n, out) != n) {
            std::fprintf(stderr, "make_random: write to %s failed\n", argv[1]);
            std::fclose(out);
            return 1;
        }
        bytes -= n;
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "make_random: closing %s failed\n", argv[1]);
        return 1;
    }
    return 0;
}
