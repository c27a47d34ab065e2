// Helpers shared by the unit tests: seeded random data, corpus files,
// compressed files put together by hand, and byte comparisons that say
// where two long strings part.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "common/bytes.h"
#include "lib/head.h"
#include "lib/result.h"
#include "model/model.h"

namespace vemk {

// Failure messages name a result instead of dumping its bytes.
inline void PrintTo(Result r, std::ostream* os) {
    static const char* const names[] = {"ok", "cannotOpenInput", "cannotOpenOutput",
                                        "readFailed", "inputTooLarge", "outOfMemory",
                                        "writeFailed", "negativeLength", "badTable",
                                        "targetOutsideTable", "streamCutShort",
                                        "destinationTooSmall", "badStreamEnd"};
    auto i = static_cast<std::size_t>(r);
    *os << (i < std::size(names) ? names[i] : "unknown result");
}

} // namespace vemk

namespace vemk::test {

using Bytes = std::vector<std::uint8_t>;

// A random source whose seed shows in every failure message. The seed is
// fixed per test so that runs repeat; VEMK_TEST_SEED replaces it to explore.
class Rng {
public:
    explicit Rng(std::uint64_t fixedSeed) : seed_(chooseSeed(fixedSeed)), gen_(seed_) {}

    std::uint64_t seed() const { return seed_; }
    std::string describe() const {
        return "seed " + std::to_string(seed_) + " (rerun with VEMK_TEST_SEED=" +
               std::to_string(seed_) + ")";
    }

    // Uniform in [lo, hi], both ends included.
    std::int64_t between(std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(gen_);
    }
    std::int32_t between32(std::int64_t lo, std::int64_t hi) {
        return static_cast<std::int32_t>(between(lo, hi));
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(between(0, 255)); }
    bool chance(double p) { return std::bernoulli_distribution(p)(gen_); }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(gen_); }
    std::mt19937_64& engine() { return gen_; }
    Bytes bytes(std::size_t n) {
        Bytes out(n);
        for (auto& b : out) {
            b = byte();
        }
        return out;
    }

    // Text-like data: a small alphabet with uneven weights.
    Bytes text(std::size_t n) {
        static const std::string alphabet = "eeeeeeetttttaaaaooooiiinnnsshhrrdlcumwfgypbvk  \n.,";
        Bytes out(n);
        for (auto& b : out) {
            b = static_cast<std::uint8_t>(
                alphabet[static_cast<std::size_t>(between(0, static_cast<std::int64_t>(alphabet.size()) - 1))]);
        }
        return out;
    }

    // Mostly `common`, with a rare other byte now and then.
    Bytes skewed(std::size_t n, std::uint8_t common, double rare) {
        Bytes out(n, common);
        for (auto& b : out) {
            if (chance(rare)) {
                b = byte();
            }
        }
        return out;
    }

private:
    static std::uint64_t chooseSeed(std::uint64_t fixedSeed) {
        const char* env = std::getenv("VEMK_TEST_SEED");
        return env != nullptr && *env != '\0' ? std::strtoull(env, nullptr, 10) : fixedSeed;
    }

    std::uint64_t seed_;
    std::mt19937_64 gen_;
};

// Declares `name` and keeps its seed in every failure message of the scope.
#define VEMK_SEEDED(name, fixedSeed)                                                              \
    ::vemk::test::Rng name(fixedSeed);                                                            \
    SCOPED_TRACE(name.describe())

inline Bytes toBytes(const ByteString& s) {
    return s.size == 0 ? Bytes{} : Bytes(s.data(), s.data() + s.size);
}
inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline std::string hex(std::span<const std::uint8_t> bytes, std::size_t limit = 32) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        out += i == 0 ? "" : " ";
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    if (bytes.size() > limit) {
        out += " ... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return out;
}

// Equality of two byte strings that names the first difference instead of
// printing megabytes.
inline ::testing::AssertionResult sameBytes(std::span<const std::uint8_t> actual,
                                            std::span<const std::uint8_t> expected) {
    std::size_t common = std::min(actual.size(), expected.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (actual[i] != expected[i]) {
            return ::testing::AssertionFailure()
                   << "first difference at offset " << i << ": got " << int{actual[i]}
                   << ", expected " << int{expected[i]};
        }
    }
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "length " << actual.size() << ", expected " << expected.size();
    }
    return ::testing::AssertionSuccess();
}

inline std::filesystem::path corpusDir() { return VEMK_CORPUS_DIR; }

inline Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The regular files of the corpus, sorted by name; empty if there is none.
inline std::vector<std::filesystem::path> corpusFiles() {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(corpusDir(), ec)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A table with the given (value, entry) pairs and zeros elsewhere.
inline model::FrequencyTable tableOf(std::initializer_list<std::pair<int, std::int32_t>> entries) {
    model::FrequencyTable t{};
    for (auto [v, f] : entries) {
        t[static_cast<std::size_t>(v)] = f;
    }
    return t;
}

// A compressed file put together from its parts, for heads and streams that
// the compressor would never write.
inline Bytes buildFile(std::int32_t length, const model::FrequencyTable& table,
                       std::span<const std::uint8_t> stream) {
    Head head = writeHead(length, table);
    Bytes file(head.size() + stream.size());
    std::copy(head.begin(), head.end(), file.begin());
    std::copy(stream.begin(), stream.end(), file.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return file;
}

// One readable page followed by one that is not: a read past end() faults
// instead of passing unnoticed.
class GuardedPage {
public:
    GuardedPage() {
#if defined(_WIN32)
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        size_ = info.dwPageSize;
        void* mem = VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD was = 0;
        if (mem != nullptr && VirtualProtect(static_cast<char*>(mem) + size_, size_, PAGE_NOACCESS, &was)) {
            mem_ = static_cast<char*>(mem);
        }
#else
        size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* mem = mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mem != MAP_FAILED && mprotect(static_cast<char*>(mem) + size_, size_, PROT_NONE) == 0) {
            mem_ = static_cast<char*>(mem);
        }
#endif
    }
    ~GuardedPage() {
#if defined(_WIN32)
        VirtualFree(mem_, 0, MEM_RELEASE);
#else
        munmap(mem_, 2 * size_);
#endif
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    // The end of the readable page, or null if there is none.
    char* end() const { return mem_ == nullptr ? nullptr : mem_ + size_; }

private:
    char* mem_ = nullptr;
    std::size_t size_ = 0;
};

} // namespace vemk::test
