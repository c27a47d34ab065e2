
#include <cfenv>
#include <cfloat>
#include <climits>
#include <cmath>
#include <new>
#include <numeric>
#include <sstream>

#include "bench/splitmix.h"
#include "support.h"

namespace model = vemk::model;
using model::FrequencyTable;
using vemk::test::Bytes;
using vemk::test::Rng;
using vemk::test::tableOf;

namespace {

FrequencyTable filled(std::int32_t value) {
    FrequencyTable t{};
    t.fill(value);
    return t;
}

std::int64_t sumOf(const FrequencyTable& t) {
    std::int64_t s = 0;
    for (auto e : t) {
        s += e;
    }
    return s;
}

// Random counts of many shapes: few or many present values, sums from tiny
// to 2^31 - 1, weights even or wildly uneven.
FrequencyTable randomCounts(Rng& rng, std::int64_t minSum, std::int64_t maxSum) {
    FrequencyTable counts{};
    int present = rng.chance(0.2) ? 1 : static_cast<int>(rng.between(1, 256));
    std::vector<std::size_t> values(256);
    std::iota(values.begin(), values.end(), std::size_t{0});
    std::shuffle(values.begin(), values.end(), rng.engine());
    values.resize(static_cast<std::size_t>(present));

    std::int64_t sum = rng.between(std::max<std::int64_t>(minSum, present), maxSum);
    int shape = static_cast<int>(rng.between(0, 2));
    std::vector<double> weights(values.size());
    double weightSum = 0;
    for (auto& w : weights) {
        w = shape == 0 ? 1.0 : shape == 1 ? rng.unit() : std::exp(rng.unit() * 30.0);
        weightSum += w;
    }
    std::int64_t rest = sum - present;
    std::int64_t given = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto share = static_cast<std::int64_t>(static_cast<double>(rest) * (weights[i] / weightSum));
        share = std::min(share, rest - given);
        counts[values[i]] = static_cast<std::int32_t>(1 + share);
        given += share;
    }
    counts[values[0]] += static_cast<std::int32_t>(rest - given);
    return counts;
}

// normstat's entry for count c out of sum, computed in the 80-bit format.
// The volatiles keep the compiler from folding or fusing any step.
std::int32_t extendedEntry(std::int32_t c, std::int32_t sum) {
    volatile long double target = 64768.0L;
    volatile long double divisor = static_cast<long double>(sum);
    volatile double scale = static_cast<double>(target / divisor);
    volatile long double p = static_cast<long double>(c) * static_cast<long double>(scale);
    volatile long double t = p + 0.5L;
    long double n = rintl(t);
    return static_cast<std::int32_t>(n) + 1;
}

// Count tables for the checked-in expected tables: integers only, from
// splitmix64, so that every platform makes the same ones. Sums up to 70000,
// 5e7 and 2^31 - 1 in turn; one value or many; even, uneven and wildly
// uneven weights.
FrequencyTable goldenCounts(std::uint64_t index) {
    std::uint64_t state = 0x5CA1E000 + index;
    auto below = [&state](std::uint64_t n) { return vemk::bench::splitmix(state) % n; };
    std::array<std::size_t, 256> values{};
    std::iota(values.begin(), values.end(), std::size_t{0});
    for (std::size_t i = 255; i > 0; --i) {
        std::swap(values[i], values[static_cast<std::size_t>(below(i + 1))]);
    }
    const auto present = static_cast<std::size_t>(below(5) == 0 ? 1 : 1 + below(256));
    const std::uint64_t maxSum[] = {70000, 50000000, INT32_MAX};
    const std::uint64_t sum = 65536 + below(maxSum[index % 3] - 65536 + 1);
    const std::uint64_t shape = below(3);
    std::array<std::uint64_t, 256> weights{};
    std::uint64_t weightSum = 0;
    for (std::size_t i = 0; i < present; ++i) {
        weights[i] = shape == 0 ? 1 : shape == 1 ? 1 + below(1000) : std::uint64_t{1} << below(30);
        weightSum += weights[i];
    }
    FrequencyTable counts{};
    const std::uint64_t rest = sum - present;
    std::uint64_t given = 0;
    for (std::size_t i = 0; i < present; ++i) {
        std::uint64_t share = rest / weightSum * weights[i] + rest % weightSum * weights[i] / weightSum;
        counts[values[i]] = static_cast<std::int32_t>(1 + share);
        given += share;
    }
    counts[values[0]] += static_cast<std::int32_t>(rest - given);
    return counts;
}

// FNV-1a over the entries, for a short line per table in the checked-in file.
std::uint64_t tableHash(const FrequencyTable& t) {
    std::uint64_t h = 0xCBF29CE484222325ULL;
    for (std::int32_t e : t) {
        for (int shift = 0; shift < 32; shift += 8) {
            h = (h ^ ((static_cast<std::uint32_t>(e) >> shift) & 0xFF)) * 0x100000001B3ULL;
        }
    }
    return h;
}

constexpr int goldenTables = 3000;

} // namespace

TEST(Normstat, Vectors) {
    FrequencyTable unscaled{};
    for (int v = 0; v < 255; ++v) {
        unscaled[static_cast<std::size_t>(v)] = 255;
    }
    unscaled[255] = 65535 - 255 * 255;
    FrequencyTable singles = filled(1);
    singles[7] = 65281;
    FrequencyTable singlesScaled = filled(2);
    singlesScaled[7] = 64517;

    struct Case {
        const char* name;
        FrequencyTable counts;
        FrequencyTable expected;
        std::int32_t total;
    };
    const Case cases[] = {
        {"no bytes", {}, {}, 0},
        {"65535 bytes stay raw", unscaled, unscaled, 65535},
        {"sum 65535 at the edges", tableOf({{0, 65534}, {255, 1}}), tableOf({{0, 65534}, {255, 1}}), 65535},
        {"sum 65536 is scaled", tableOf({{0, 65535}, {255, 1}}), tableOf({{0, 64769}, {255, 2}}), 64771},
        {"every value 256 times", filled(256), filled(255), 65280},
        {"65536 copies of one value", tableOf({{0x41, 65536}}), tableOf({{0x41, 64769}}), 64769},
        {"100000 copies of one value", tableOf({{0x41, 100000}}), tableOf({{0x41, 64770}}), 64770},
        {"255 singles and one frequent value", singles, singlesScaled, 65027},
        // Sums whose scale comes out differently when the quotient is
        // rounded straight to a double instead of through 64 bits first.
        {"scale rounded twice, sum 894592", tableOf({{0x20, 698900}, {0x41, 195692}}),
         tableOf({{0x20, 50602}, {0x41, 14170}}), 64772},
        {"scale rounded twice, sum 1938944", tableOf({{0x20, 1408764}, {0x41, 530180}}),
         tableOf({{0x20, 47059}, {0x41, 17711}}), 64770},
        {"1576260 copies of one value", tableOf({{0xFF, 1576260}}), tableOf({{0xFF, 64770}}), 64770},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrequencyTable got = model::normstat(c.counts);
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(model::tableTotal(got), c.total);
    }
}

TEST(Normstat, InvariantsOnRandomCounts) {
    VEMK_SEEDED(rng, 2101);
    for (int trial = 0; trial < 3000; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        FrequencyTable counts = randomCounts(rng, 0, trial % 2 == 0 ? 200000 : INT32_MAX);
        FrequencyTable freq = model::normstat(counts);
        std::int64_t sum = sumOf(counts);
        std::int32_t total = model::tableTotal(freq);
        if (sum < 65536) {
            ASSERT_EQ(freq, counts);
            continue;
        }
        ASSERT_GE(total, 64769) << "sum " << sum;
        ASSERT_LE(total, 65280) << "sum " << sum;
        for (std::size_t v = 0; v < 256; ++v) {
            ASSERT_EQ(freq[v] == 0, counts[v] == 0) << "value " << v;
            ASSERT_LE(freq[v], 0xFFFF) << "value " << v;
            if (counts[v] != 0) {
                ASSERT_GE(freq[v], 2) << "value " << v;
            }
        }
    }
}

TEST(Normstat, MatchesExtendedPrecisionArithmetic) {
    if constexpr (LDBL_MANT_DIG != 64) {
        GTEST_SKIP() << "long double is not the 80-bit extended format here";
    }
    ASSERT_EQ(std::fesetround(FE_TONEAREST), 0);
    VEMK_SEEDED(rng, 2102);
    for (int trial = 0; trial < 5000; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        std::int64_t maxSum = trial % 3 == 0 ? 70000 : trial % 3 == 1 ? 50000000 : INT32_MAX;
        FrequencyTable counts = randomCounts(rng, 65536, maxSum);
        auto sum = static_cast<std::int32_t>(sumOf(counts));
        FrequencyTable freq = model::normstat(counts);
        for (std::size_t v = 0; v < 256; ++v) {
            std::int32_t expected = counts[v] == 0 ? 0 : extendedEntry(counts[v], sum);
            ASSERT_EQ(freq[v], expected) << "value " << v << ", count " << counts[v] << " of " << sum;
        }
    }
}

// The expected tables were made on x86-64 with 80-bit arithmetic
// (VEMK_WRITE_GOLDEN=1 writes them there again); every platform must scale
// the same counts to the same tables.
TEST(Normstat, MatchesTheCheckedInTables) {
    const std::string path = std::string(VEMK_TEST_DATA) + "/normstat.golden";
    const char* write = std::getenv("VEMK_WRITE_GOLDEN");
    if (write != nullptr && *write == '1') {
        ASSERT_EQ(LDBL_MANT_DIG, 64) << "expected tables come from the 80-bit format";
        std::ofstream out(path);
        out << "# index total fnv1a64: normstat of goldenCounts(index), tests/model_test.cpp\n";
        for (int i = 0; i < goldenTables; ++i) {
            FrequencyTable counts = goldenCounts(static_cast<std::uint64_t>(i));
            auto sum = static_cast<std::int32_t>(sumOf(counts));
            FrequencyTable expected{};
            for (std::size_t v = 0; v < 256; ++v) {
                expected[v] = counts[v] == 0 ? 0 : extendedEntry(counts[v], sum);
            }
            out << i << ' ' << model::tableTotal(expected) << ' ' << std::hex << tableHash(expected) << std::dec << '\n';
        }
    }
    std::ifstream in(path);
    ASSERT_TRUE(in) << "cannot read " << path;
    std::string line;
    int checked = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        int index = 0;
        std::int32_t total = 0;
        std::uint64_t hash = 0;
        fields >> index >> total >> std::hex >> hash;
        FrequencyTable got = model::normstat(goldenCounts(static_cast<std::uint64_t>(index)));
        ASSERT_EQ(model::tableTotal(got), total) << "table " << index;
        ASSERT_EQ(tableHash(got), hash) << "table " << index;
        ++checked;
    }
    EXPECT_EQ(checked, goldenTables);
}

TEST(FindSymbol, Vectors) {
    const FrequencyTable onlyA = tableOf({{65, 64769}});
    const FrequencyTable gappy = tableOf({{0, 0}, {1, 5}, {2, 3}, {200, 7}}); // total 15
    const FrequencyTable topOnly = tableOf({{255, 9}});
    struct Case {
        const char* name;
        const FrequencyTable* table;
        std::int32_t target;
        model::Slot expected;
    };
    const Case cases[] = {
        {"single value, first count", &onlyA, 0, {0, 65, 64769}},
        {"single value, last count", &onlyA, 64768, {0, 65, 64769}},
        {"empty slot of value 0 is passed over", &gappy, 0, {0, 1, 5}},
        {"inside the first slot", &gappy, 4, {0, 1, 5}},
        {"lower end of a slot", &gappy, 5, {5, 2, 3}},
        {"upper end of a slot goes to the next non-empty one", &gappy, 8, {8, 200, 7}},
        {"total - 1", &gappy, 14, {8, 200, 7}},
        {"total - 1 in value 255", &topOnly, 8, {0, 255, 9}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        model::Slot got = model::findSymbol(c.target, *c.table);
        EXPECT_EQ(got.cumFreq, c.expected.cumFreq);
        EXPECT_EQ(got.symbol, c.expected.symbol);
        EXPECT_EQ(got.freq, c.expected.freq);
    }

    const FrequencyTable even = filled(255);
    for (std::int32_t target = 0; target < 65280; ++target) {
        model::Slot got = model::findSymbol(target, even);
        ASSERT_EQ(got.symbol, target / 255) << "target " << target;
        ASSERT_EQ(got.cumFreq, 255 * (target / 255)) << "target " << target;
        ASSERT_EQ(got.freq, 255) << "target " << target;
    }
}

// The table sits at the very end of a readable page, so a search that looks
// at a 257th entry faults instead of passing unnoticed.
TEST(FindSymbol, TargetOutsideTheTableHasNoSlot) {
    vemk::test::GuardedPage page;
    ASSERT_NE(page.end(), nullptr);
    auto* guarded = new (page.end() - sizeof(FrequencyTable)) FrequencyTable{};

    struct Case {
        const char* name;
        FrequencyTable table;
        std::int32_t target;
    };
    const Case cases[] = {
        {"total", tableOf({{1, 5}, {2, 3}}), 8},
        {"far above total", tableOf({{1, 5}, {2, 3}}), 1000000},
        {"largest target", filled(255), INT32_MAX},
        {"-1", tableOf({{0, 5}}), -1},
        {"most negative", filled(1), INT32_MIN},
        {"all-zero table", {}, 0},
        {"all-zero table, -1", {}, -1},
        {"last entry filled, total", tableOf({{255, 1}}), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        *guarded = c.table;
        EXPECT_EQ(model::findSymbol(c.target, *guarded).freq, 0);
    }
}

// What the encoder looks up by value and what the decoder finds by target
// must be the same slot, for every present value, at both ends of its slot.
TEST(CumulativeTable, AgreesWithFindSymbol) {
    model::CumulativeTable onlyA = model::cumulativeTable(tableOf({{65, 64769}}));
    for (std::size_t v = 0; v < 256; ++v) {
        EXPECT_EQ(onlyA[v], v <= 65 ? 0 : 64769) << "value " << v;
    }
    VEMK_SEEDED(rng, 2201);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        FrequencyTable freq{};
        for (auto& f : freq) {
            f = rng.chance(0.4) ? 0 : rng.between32(1, 255);
        }
        model::CumulativeTable cum = model::cumulativeTable(freq);
        std::int32_t total = model::tableTotal(freq);
        ASSERT_EQ(total, sumOf(freq));
        for (std::int32_t v = 0; v < 256; ++v) {
            auto f = freq[static_cast<std::size_t>(v)];
            auto c = cum[static_cast<std::size_t>(v)];
            if (f == 0) {
                continue;
            }
            for (std::int32_t target : {c, c + f - 1}) {
                model::Slot s = model::findSymbol(target, freq);
                ASSERT_EQ(s.symbol, v);
                ASSERT_EQ(s.cumFreq, c);
                ASSERT_EQ(s.freq, f);
            }
        }
        ASSERT_EQ(model::findSymbol(total, freq).freq, 0);
    }
}

TEST(StoredTable, Layout) {
    Bytes stored(model::tableBytes);
    model::writeFrequencyTable(tableOf({{0, 513}, {1, 0xFF}, {255, 0xFFFF}}), stored.data());
    Bytes expected(model::tableBytes, 0);
    expected[0] = 0x01; // 513, low byte first
    expected[1] = 0x02;
    expected[2] = 0xFF;
    expected[510] = expected[511] = 0xFF;
    EXPECT_EQ(stored, expected);
}

TEST(StoredTable, RoundTripAndShortReads) {
    VEMK_SEEDED(rng, 2301);
    for (int trial = 0; trial < 50; ++trial) {
        FrequencyTable table{};
        for (auto& f : table) {
            f = rng.chance(0.3) ? 0 : rng.between32(0, 0xFFFF);
        }
        Bytes stored(model::tableBytes);
        model::writeFrequencyTable(table, stored.data());
        ASSERT_EQ(model::readFrequencyTable(stored), table);

        // A table cut short keeps what it has; the rest reads as zeros.
        for (std::size_t kept : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                 static_cast<std::size_t>(rng.between(4, 510)), std::size_t{511}}) {
            SCOPED_TRACE("kept " + std::to_string(kept) + " bytes");
            FrequencyTable got = model::readFrequencyTable(std::span(stored).first(kept));
            for (std::size_t v = 0; v < 256; ++v) {
                std::int32_t expected = 2 * v + 1 < kept ? table[v]
                                        : 2 * v < kept   ? table[v] & 0xFF
                                                         : 0;
                ASSERT_EQ(got[v], expected) << "value " << v;
            }
        }
    }
}
