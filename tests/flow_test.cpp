#include "lib/flows.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "lib/files.h"
#include "rc/coder.h"
#include "support.h"

using vemk::Result;
using vemk::model::FrequencyTable;
using vemk::test::Bytes;
using vemk::test::hex;
using vemk::test::Rng;
using vemk::test::sameBytes;
using vemk::test::tableOf;
using vemk::test::toBytes;

namespace {

// Every round trip goes through here: compress, decompress, and the input
// must come back byte for byte. Returns the compressed file.
Bytes roundTrip(std::span<const std::uint8_t> input) {
    vemk::Packed packed = vemk::compressBuffer(input);
    EXPECT_EQ(packed.result, Result::ok);
    Bytes file = toBytes(packed.file);
    vemk::Restored restored = vemk::decompressBuffer(file);
    EXPECT_EQ(restored.result, Result::ok);
    EXPECT_TRUE(sameBytes(toBytes(restored.bytes), input));
    return file;
}

Result decompressResult(std::span<const std::uint8_t> file) {
    return vemk::decompressBuffer(file).result;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes abracadabra = toBytes("abracadabra");
const Bytes abracadabraStream{0x00, 0x47, 0x5E, 0xA6, 0xA8, 0x87};

} // namespace

TEST(Compress, ExactFiles) {
    Bytes counting(258);
    for (std::size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<std::uint8_t>(i);
    }
    struct Case {
        const char* name;
        Bytes input;
        std::map<int, int> table;     // the non-zero entries
        std::optional<Bytes> stream; // unset: not pinned down here
    };
    const Case cases[] = {
        {"empty", {}, {}, Bytes{0, 0, 0, 0}},
        {"one byte", {0x41}, {{0x41, 1}}, Bytes{0, 0, 0, 0}},
        {"two bytes", {0x41, 0x42}, {{0x41, 1}, {0x42, 1}}, Bytes{0x00, 0x3F, 0xFF, 0xFF}},
        {"abracadabra", abracadabra, {{0x61, 5}, {0x62, 2}, {0x63, 1}, {0x64, 1}, {0x72, 2}}, abracadabraStream},
        {"258 bytes", counting, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = roundTrip(c.input);
        ASSERT_GE(file.size(), 520u);
        auto n = static_cast<std::uint32_t>(c.input.size());
        EXPECT_EQ(file[0], n & 0xFF);
        EXPECT_EQ(file[1], (n >> 8) & 0xFF);
        EXPECT_EQ(file[2], (n >> 16) & 0xFF);
        EXPECT_EQ(file[3], n >> 24);
        if (!c.stream) {
            continue;
        }
        Bytes expected(516, 0);
        std::copy(file.begin(), file.begin() + 4, expected.begin());
        for (auto [v, f] : c.table) {
            expected[4 + 2 * static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(f);
        }
        expected.insert(expected.end(), c.stream->begin(), c.stream->end());
        EXPECT_TRUE(sameBytes(file, expected)) << hex(Bytes(file.begin() + 516, file.end()));
    }
}

TEST(RoundTrip, CorpusFiles) {
    auto files = vemk::test::corpusFiles();
    if (files.empty()) {
        GTEST_SKIP() << "no corpus at " << vemk::test::corpusDir();
    }
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        Bytes input = vemk::test::readFile(path);
        roundTrip(input);
    }
}

TEST(RoundTrip, DataOfManyShapes) {
    VEMK_SEEDED(rng, 4201);
    std::vector<std::pair<std::string, Bytes>> shapes;
    for (std::size_t n = 0; n <= 5; ++n) {
        for (int k = 0; k < 4; ++k) {
            shapes.emplace_back("random, " + std::to_string(n) + " bytes", rng.bytes(n));
        }
        shapes.emplace_back(std::to_string(n) + " bytes of 0xFF", Bytes(n, 0xFF));
        shapes.emplace_back(std::to_string(n) + " bytes of 0x00", Bytes(n, 0x00));
    }
    for (std::size_t n : {std::size_t{65535}, std::size_t{65536}, std::size_t{65537}}) {
        shapes.emplace_back("text, " + std::to_string(n) + " bytes", rng.text(n));
        shapes.emplace_back("random, " + std::to_string(n) + " bytes", rng.bytes(n));
    }
    shapes.emplace_back("one value, 100000 times", Bytes(100000, 0x41));
    shapes.emplace_back("extreme skew towards 0x00", rng.skewed(300000, 0x00, 0.0001));
    shapes.emplace_back("extreme skew towards 0xFF", rng.skewed(300000, 0xFF, 0.0001));
    shapes.emplace_back("0xFF with a rare other byte", rng.skewed(200000, 0xFF, 0.01));
    Bytes runs;
    while (runs.size() < 200000) {
        runs.insert(runs.end(), static_cast<std::size_t>(rng.between(1, 5000)), 0xFF);
        runs.push_back(rng.byte());
    }
    shapes.emplace_back("long runs of 0xFF", runs);
    Bytes everyValue(256 * 300);
    for (std::size_t i = 0; i < everyValue.size(); ++i) {
        everyValue[i] = static_cast<std::uint8_t>(i);
    }
    shapes.emplace_back("every value in turn", everyValue);
    std::shuffle(everyValue.begin(), everyValue.end(), rng.engine());
    shapes.emplace_back("every value, shuffled", everyValue);
    shapes.emplace_back("incompressible", rng.bytes(300000));

    for (const auto& [name, input] : shapes) {
        SCOPED_TRACE(name);
        roundTrip(input);
    }
}

TEST(Decompress, GoodFiles) {
    const Bytes abraFile = roundTrip(abracadabra);
    ASSERT_EQ(abraFile.size(), 522u);
    const Bytes emptyFile(520, 0);
    Bytes anyTable = vemk::test::buildFile(0, tableOf({{0, 7}, {9, 65535}}), {});
    ASSERT_EQ(anyTable.size(), 516u);
    struct Case {
        const char* name;
        Bytes file;
        Bytes output;
    };
    const Case cases[] = {
        {"abracadabra", abraFile, abracadabra},
        {"no bytes at all", {}, {}},
        {"a file cut inside the length", {0x00, 0x00}, {}},
        {"an empty input's file", emptyFile, {}},
        {"length 0 with any table and no stream", anyTable, {}},
        {"length 0 with a stream that is never read", concat(anyTable, {0xFF}), {}},
        {"appended zeros", concat(abraFile, Bytes(100, 0)), abracadabra},
        {"appended 0xFF bytes", concat(abraFile, Bytes(3, 0xFF)), abracadabra},
        {"appended to a stream longer than its input",
         concat(roundTrip(Bytes{0x41, 0x42}), {1, 2, 3}), Bytes{0x41, 0x42}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vemk::Restored r = vemk::decompressBuffer(c.file);
        EXPECT_EQ(r.result, Result::ok);
        EXPECT_TRUE(sameBytes(toBytes(r.bytes), c.output));
    }
}

// A table the compressor would never write: total exactly 65536, with room
// for values that never occur.
TEST(Decompress, TableOfTotal65536) {
    VEMK_SEEDED(rng, 4301);
    FrequencyTable table = tableOf({{0x00, 10000}, {0x61, 30000}, {0x62, 25535}, {0xFF, 1}});
    ASSERT_EQ(vemk::model::tableTotal(table), 65536);
    auto cum = vemk::model::cumulativeTable(table);
    Bytes message(5000);
    for (auto& b : message) {
        b = rng.chance(0.5) ? 0x61 : 0x62;
    }
    vemk::rc::Encoder enc = vemk::rc::newEncoder(message.size());
    for (auto b : message) {
        vemk::rc::encode(enc, cum[b], table[b], 65536);
    }
    Bytes stream = toBytes(vemk::rc::flushEncoder(enc));
    vemk::Restored r = vemk::decompressBuffer(
        vemk::test::buildFile(static_cast<std::int32_t>(message.size()), table, stream));
    EXPECT_EQ(r.result, Result::ok);
    EXPECT_TRUE(sameBytes(toBytes(r.bytes), message));
}

// Four coded bytes that never need another: one value owns the whole
// table, so the interval never narrows and nothing more is loaded.
TEST(Decompress, HugeLengthFromFourCodedBytes) {
    const std::int32_t n = 300'000'000;
    vemk::Restored r = vemk::decompressBuffer(
        vemk::test::buildFile(n, tableOf({{0x00, 1}}), Bytes{0, 0, 0, 0}));
    ASSERT_EQ(r.result, Result::ok);
    ASSERT_EQ(r.bytes.size, static_cast<std::size_t>(n));
    for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{123456789}, r.bytes.size - 1}) {
        EXPECT_EQ(r.bytes.data()[i], 0x00) << "offset " << i;
    }
}

TEST(Damage, NegativeLength) {
    Bytes stream = abracadabraStream;
    for (std::int32_t n : {-1, -11, INT32_MIN}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(decompressResult(vemk::test::buildFile(n, tableOf({{0x61, 5}}), stream)),
                  Result::negativeLength);
        EXPECT_EQ(decompressResult(vemk::test::buildFile(n, {}, {})), Result::negativeLength);
    }
}

TEST(Damage, BadTable) {
    FrequencyTable over{};
    over.fill(0xFFFF);
    struct Case {
        const char* name;
        FrequencyTable table;
    };
    const Case cases[] = {
        {"total 0", {}},
        {"total 65537", tableOf({{0, 65535}, {255, 2}})},
        {"every entry 0xFFFF", over},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::int32_t n : {1, 11, INT32_MAX}) {
            EXPECT_EQ(decompressResult(vemk::test::buildFile(n, c.table, abracadabraStream)),
                      Result::badTable)
                << "length " << n;
        }
        // With nothing to decode the table is never used.
        EXPECT_EQ(decompressResult(vemk::test::buildFile(0, c.table, abracadabraStream)), Result::ok);
    }
}

TEST(Damage, StreamCutShort) {
    VEMK_SEEDED(rng, 4401);
    const Bytes inputs[] = {{0x41}, {0x41, 0x42}, abracadabra, rng.text(1500),
                            rng.skewed(1500, 0xFF, 0.02), rng.bytes(600)};
    for (const auto& input : inputs) {
        SCOPED_TRACE(hex(input, 8));
        const Bytes file = roundTrip(input);
        for (std::size_t cut = 0; cut < file.size(); ++cut) {
            SCOPED_TRACE("cut to " + std::to_string(cut) + " of " + std::to_string(file.size()));
            Bytes shortened(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
            vemk::Restored r = vemk::decompressBuffer(shortened);
            if (cut < vemk::headBytes) {
                // Cut inside the head: any refusal will do, but never a
                // result of the wrong length.
                if (r.result == Result::ok) {
                    ASSERT_EQ(r.bytes.size, static_cast<std::size_t>(vemk::readHead(shortened).length));
                }
                continue;
            }
            if (r.result == Result::ok) {
                ASSERT_TRUE(sameBytes(toBytes(r.bytes), input)) << "a short stream decoded wrongly";
            } else {
                ASSERT_EQ(r.result, Result::streamCutShort);
            }
        }
    }
}

// A file cut inside its head keeps the table entries it still has: cut
// after entry 0 it still names a one-value table and only lacks its stream.
TEST(Damage, CutInsideTheHead) {
    const Bytes file = roundTrip(Bytes{0x00});
    struct Case {
        std::size_t kept;
        Result result;
    };
    const Case cases[] = {
        {4, Result::badTable},       // no table at all
        {5, Result::streamCutShort}, // low byte of entry 0
        {6, Result::streamCutShort}, // all of entry 0
        {300, Result::streamCutShort},
        {516, Result::streamCutShort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("kept " + std::to_string(c.kept));
        EXPECT_EQ(decompressResult(std::span(file).first(c.kept)), c.result);
    }
}

// A coded value in the remainder above unit * total that no slot owns.
TEST(Damage, TargetOutsideTable) {
    const Bytes top{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    struct Case {
        const char* name;
        FrequencyTable table;
    };
    const Case cases[] = {
        {"total 2", tableOf({{0x30, 1}, {0x31, 1}})},
        {"total 65535", tableOf({{0x00, 65534}, {0xFF, 1}})},
        {"total 65536", tableOf({{0x10, 65535}, {0x11, 1}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decompressResult(vemk::test::buildFile(3, c.table, top)), Result::targetOutsideTable);
    }
}

// Damage anywhere but in the two high bytes of the length, which would
// only ask for gigabytes: never a crash, never a result of the wrong
// length, and almost never wrong bytes reported as restored (only damage
// that turns the stream into the exact coding of other bytes can pass).
TEST(Damage, RandomByteFlips) {
    VEMK_SEEDED(rng, 4501);
    const std::vector<Bytes> inputs = {abracadabra, rng.text(2000), Bytes(1000, 0x41), rng.bytes(1000),
                                       rng.skewed(3000, 0xFF, 0.05), rng.text(40), rng.bytes(12)};
    std::vector<Bytes> good;
    for (const Bytes& input : inputs) {
        good.push_back(roundTrip(input));
    }
    std::map<Result, int> seen;
    int wrongBytes = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const std::size_t which = static_cast<std::size_t>(trial) % good.size();
        Bytes file = good[which];
        for (auto flips = rng.between(1, 4); flips > 0; --flips) {
            auto at = static_cast<std::size_t>(rng.between(2, static_cast<std::int64_t>(file.size()) - 1));
            at = at < 4 ? at - 2 : at;
            file[at] ^= static_cast<std::uint8_t>(rng.between(1, 255));
        }
        vemk::Restored r = vemk::decompressBuffer(file);
        seen[r.result] += 1;
        if (r.result == Result::ok) {
            ASSERT_EQ(r.bytes.size, static_cast<std::size_t>(vemk::readHead(file).length));
            wrongBytes += sameBytes(toBytes(r.bytes), inputs[which]) ? 0 : 1;
        }
    }
    EXPECT_GT(seen[Result::streamCutShort] + seen[Result::targetOutsideTable], 0);
    EXPECT_GT(seen[Result::badStreamEnd], 0);
    EXPECT_LE(wrongBytes, 3) << seen[Result::ok] << " restored";
}

// Counting while reading gives the bytes and counts of reading then
// counting, and reading ahead on a second thread the same bytes, whatever
// the length hint claims: files longer than the hint (the buffer grows
// after the other thread is done), shorter, of unknown length, and reads
// cut off at the limit.
TEST(Read, CountedWhileRead) {
    namespace fs = std::filesystem;
    const fs::path path = fs::temp_directory_path() / ("vemk-read-" + std::to_string(std::random_device{}()));
    VEMK_SEEDED(rng, 8802);
    for (std::size_t size : {std::size_t{0}, std::size_t{5000}, (std::size_t{9} << 20) + 123}) {
        Bytes data = rng.bytes(size);
        {
            std::ofstream f(path, std::ios::binary);
            f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        }
        const auto n = static_cast<std::int64_t>(size);
        // A hint 1 MiB short still has the counter follow, then grows.
        const std::int64_t short1M = std::max<std::int64_t>(0, n - (1 << 20));
        for (std::int64_t hint : {n, std::int64_t{-1}, short1M, n + (5 << 20)}) {
            for (std::size_t limit : {vemk::maxInputBytes + 1, size > 3 ? size - 3 : size}) {
                SCOPED_TRACE(std::to_string(size) + " bytes, hint " + std::to_string(hint) + ", limit " +
                             std::to_string(limit));
                vemk::platform::InputFile in;
                ASSERT_TRUE(vemk::platform::openInput(path.string().c_str(), in));
                vemk::ByteString got;
                FrequencyTable counts{};
                EXPECT_EQ(vemk::readAndCount(in, hint, limit, got, counts, true), Result::ok);
                vemk::platform::closeInput(in);
                const std::span<const std::uint8_t> expected(data.data(), std::min(size, limit));
                EXPECT_TRUE(sameBytes(toBytes(got), expected));
                EXPECT_EQ(counts, vemk::model::countBytes(expected));
                // Read on a second thread, for decoding while reading: the same bytes.
                ASSERT_TRUE(vemk::platform::openInput(path.string().c_str(), in));
                vemk::ReadAhead ahead;
                vemk::startReadAhead(in, hint, limit, ahead);
                EXPECT_EQ(vemk::finishReadAhead(in, limit, ahead), Result::ok);
                EXPECT_TRUE(sameBytes(toBytes(ahead.bytes), expected)) << "read ahead";
                vemk::platform::closeInput(in);
            }
        }
    }
    fs::remove(path);
}
