// The fast coding paths against the plain operations they replace: every
// one must give exactly the same numbers, bytes and decoder state.
#include <numeric>
#include <tuple>

#include "rc/decode_loop.h"
#include "rc/segments.h"
#include "support.h"

namespace model = vemk::model;
namespace rc = vemk::rc;
using vemk::test::Bytes;
using vemk::test::hex;
using vemk::test::Rng;
using vemk::test::toBytes;

namespace {

std::size_t below(Rng& rng, std::size_t n) {
    return static_cast<std::size_t>(rng.between(0, static_cast<std::int64_t>(n) - 1));
}

// Tables with total 1..0x10000 and every entry below 0x10000, of the shapes
// that trip a bucketed lookup or a coder: scaled counts, tiny totals, mostly
// zeros, one value, a total of exactly 0x10000, slot ends on and beside
// multiples of 16, and stored tables read from random bytes.
std::vector<model::FrequencyTable> tableShapes(Rng& rng) {
    std::vector<model::FrequencyTable> tables;
    auto split = [&](std::int32_t total, std::size_t values) { // `values` random non-zero entries
        model::FrequencyTable t{};
        std::vector<std::size_t> order(256);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin(), order.end(), rng.engine());
        std::vector<std::int32_t> cuts{0, total};
        while (cuts.size() < values + 1) {
            std::int32_t c = rng.between32(1, total - 1);
            if (std::find(cuts.begin(), cuts.end(), c) == cuts.end()) {
                cuts.push_back(c);
            }
        }
        std::sort(cuts.begin(), cuts.end());
        for (std::size_t i = 0; i < values; ++i) {
            t[order[i]] = cuts[i + 1] - cuts[i];
        }
        return t;
    };
    for (int i = 0; i < 12; ++i) {
        model::FrequencyTable counts{};
        const double present = rng.unit();
        for (auto& c : counts) {
            c = rng.chance(present) ? rng.between32(0, i < 6 ? 3000 : 400) : 0;
        }
        counts[rng.byte()] += 1;
        tables.push_back(model::normstat(counts));
    }
    for (std::int32_t total : {1, 2, 3}) {
        for (std::size_t values = 1; values <= static_cast<std::size_t>(total); ++values) {
            tables.push_back(split(total, values));
        }
    }
    for (int i = 0; i < 6; ++i) {
        const std::int32_t total = rng.between32(4, 0x10000); // one draw per statement: seeds repeat
        tables.push_back(split(total, 2 + below(rng, 4)));
        tables.push_back(split(rng.between32(256, 0x10000), 256));
    }
    for (std::int32_t single : {1, 15, 16, 17, 255, 0x10000 - 1}) {
        tables.push_back(vemk::test::tableOf({{rng.byte(), single}}));
    }
    tables.push_back(vemk::test::tableOf({{0, 0xFFFF}, {255, 1}}));
    tables.push_back(vemk::test::tableOf({{7, 1}, {8, 0xFFFF}}));
    // The smallest totals whose units the decoder tables (up to 1024), with
    // a slot of one that needs two loads at a small unit.
    tables.push_back(vemk::test::tableOf({{3, 16382}, {200, 1}}));
    tables.push_back(vemk::test::tableOf({{3, 1}, {4, 16382}, {5, 1}}));
    tables.push_back(split(0x10000, 2));
    tables.push_back(split(0x10000, 256));
    for (int i = 0; i < 4; ++i) {
        model::FrequencyTable t{};
        for (auto& f : t) {
            const std::int32_t sizes[] = {0, 1, 14, 15, 16, 17, 31, 32, 33, 48};
            f = sizes[below(rng, std::size(sizes))];
        }
        t[0] = 16;
        tables.push_back(t);
    }
    for (int i = 0; i < 16; ++i) {
        Bytes block = rng.bytes(model::tableBytes);
        const double kept = rng.unit() * 0.3;
        for (auto& b : block) {
            b = rng.chance(kept) ? b : 0;
        }
        model::FrequencyTable t = model::readFrequencyTable(block);
        while (model::tableTotal(t) > 0x10000) {
            t[rng.byte()] = 0;
        }
        if (model::tableTotal(t) > 0) {
            tables.push_back(t);
        }
    }
    return tables;
}

// A symbol drawn in proportion to its entry, or uniformly among the present
// ones so that rare symbols (and the long normalisations they bring) show up.
std::uint8_t drawSymbol(Rng& rng, const model::FrequencyTable& table) {
    if (rng.chance(0.5)) {
        return static_cast<std::uint8_t>(
            model::findSymbol(rng.between32(0, model::tableTotal(table) - 1), table).symbol);
    }
    for (;;) {
        std::uint8_t v = rng.byte();
        if (table[v] > 0) {
            return v;
        }
    }
}

struct Coding {
    model::FrequencyTable table;
    std::int32_t total;
    std::array<rc::SymbolSlot, 256> slots;
};

Coding codingOf(const model::FrequencyTable& table) {
    Coding c{table, model::tableTotal(table), {}};
    model::CumulativeTable cum = model::cumulativeTable(table);
    for (std::size_t v = 0; v < 256; ++v) {
        c.slots[v] = {static_cast<std::uint32_t>(cum[v]), static_cast<std::uint32_t>(table[v])};
    }
    return c;
}

void encodePlain(rc::Encoder& enc, const Coding& c, std::uint8_t s) {
    rc::encode(enc, static_cast<std::int32_t>(c.slots[s].cumFreq), c.table[s], c.total);
}

// What an encoder has decided so far, whichever form it holds it in: the
// bytes written, the held-back bytes with any carry added, and the window.
struct EncoderState {
    Bytes settled;
    std::int32_t low;
    std::int32_t range;
    bool operator==(const EncoderState&) const = default;
};

void PrintTo(const EncoderState& s, std::ostream* os) {
    *os << "low " << s.low << ", range " << s.range << ", " << s.settled.size() << " bytes";
}

EncoderState stateOf(const rc::Encoder& enc) {
    EncoderState s{Bytes(enc.buffer.get(), enc.buffer.get() + enc.pos), enc.low, enc.range};
    s.settled.push_back(static_cast<std::uint8_t>(enc.cache));
    s.settled.insert(s.settled.end(), static_cast<std::size_t>(enc.pending), 0xFF);
    std::int32_t carry = enc.carry;
    for (std::size_t i = s.settled.size(); carry != 0 && i-- > 0;) {
        carry += s.settled[i];
        s.settled[i] = static_cast<std::uint8_t>(carry);
        carry >>= 8;
    }
    return s;
}

// The parts of a coded stream, one after another.
Bytes toBytes(const rc::CodedStream& stream) {
    Bytes all;
    for (std::size_t k = 0; k < stream.partCount; ++k) {
        EXPECT_GT(stream.parts[k].size, 0U) << "part " << k << " is empty";
        all.insert(all.end(), stream.parts[k].data(), stream.parts[k].data() + stream.parts[k].size);
    }
    EXPECT_EQ(all.size(), rc::streamSize(stream));
    return all;
}

struct Decoded {
    Bytes symbols;
    std::int32_t range, code;
    std::size_t pos;
};

// One decodeTarget, search and decodeNarrow per symbol; stops at a target
// without a slot, or after the step that loaded past the end.
Decoded plainDecode(std::span<const std::uint8_t> stream, const model::FrequencyTable& table, std::size_t count) {
    rc::Decoder dec = rc::newDecoder(stream);
    Bytes out;
    while (out.size() < count) {
        model::Slot slot = model::findSymbol(rc::decodeTarget(dec, model::tableTotal(table)), table);
        if (slot.freq == 0) {
            break;
        }
        rc::decodeNarrow(dec, slot.freq, slot.cumFreq);
        out.push_back(static_cast<std::uint8_t>(slot.symbol));
        if (rc::ranPastEnd(dec)) {
            break;
        }
    }
    return {out, dec.range, dec.code, dec.pos};
}

template <class FindSlot>
Decoded fastDecode(std::span<const std::uint8_t> stream, std::uint32_t total, std::size_t count, FindSlot findSlot) {
    rc::Decoder dec = rc::newDecoder(stream);
    Bytes out(count);
    out.resize(std::min(count, rc::decodeSymbols(dec, out.data(), count, total, findSlot)));
    return {out, dec.range, dec.code, dec.pos};
}

// Both fast decoders, the one with the plain search and the one the flows
// use, against the plain loop.
void expectSameDecoding(std::span<const std::uint8_t> stream, const model::FrequencyTable& table,
                        std::size_t count) {
    const auto total = static_cast<std::uint32_t>(model::tableTotal(table));
    const model::SymbolLookup lookup = model::symbolLookup(table);
    const model::Slot none{0, 0, 0};
    auto scan = [&](std::uint32_t t, std::uint64_t) {
        const model::Slot slot = t < total ? model::findSymbol(static_cast<std::int32_t>(t), table) : none;
        return rc::packSlot(static_cast<std::uint32_t>(slot.cumFreq), static_cast<std::uint32_t>(slot.freq),
                            static_cast<std::uint32_t>(slot.symbol));
    };
    // The run comes from the quotient, as in the decompression flow.
    auto fast = [&](std::uint32_t t, std::uint64_t quotient) {
        auto run = static_cast<std::uint32_t>(quotient >> (rc::divisorShift + model::SymbolLookup::bucketBits));
        return t < total ? model::findSymbolFast(t, run, lookup) : rc::PackedSlot{0};
    };
    const Decoded expected = plainDecode(stream, table, count);
    const bool refused = expected.symbols.size() < count && expected.pos <= stream.size();
    for (const auto& [search, got] : {std::pair{"scan", fastDecode(stream, total, count, scan)},
                                      std::pair{"lookup", fastDecode(stream, total, count, fast)}}) {
        SCOPED_TRACE(std::string(search) + "; stream " + hex(stream) + ", count " + std::to_string(count));
        EXPECT_EQ(got.symbols, expected.symbols) << "got [" << hex(got.symbols) << "]";
        EXPECT_EQ(got.code, expected.code);
        EXPECT_EQ(got.pos, expected.pos);
        // The plain loop leaves the unit of a refused target in `range`.
        EXPECT_EQ(got.range, expected.range) << (refused ? "after a target without a slot" : "");
    }
}

// The guess of every other segment made wrong: a range whose unit differs.
std::int32_t spoilEveryOther(std::int32_t range, std::int32_t total, std::size_t segment) {
    if (segment % 2 == 0) {
        return range;
    }
    return range >= 0x10000 + total ? range - total : range + total;
}

} // namespace

TEST(Divisor, ExactForEveryDivisor) {
    VEMK_SEEDED(rng, 0xD1B1);
    for (std::uint32_t d = 1; d <= 0x10000; ++d) {
        const rc::Divisor div = rc::divisorOf(d);
        const std::uint32_t top = 0xFFFFFF / d * d;
        const std::uint32_t xs[] = {0, 1, d - 1, d, d + 1, top, top - 1, top - d, top - d - 1, 0xFFFFFF, 0xFFFFFE,
                                    static_cast<std::uint32_t>(rng.between(0, 0xFFFFFF)),
                                    static_cast<std::uint32_t>(rng.between(0, 0xFFFFFF))};
        for (std::uint32_t x : xs) {
            if (x <= 0xFFFFFF && rc::divide(x, div) != x / d) {
                ADD_FAILURE() << "divide(" << x << ", divisorOf(" << d << ")) = " << rc::divide(x, div);
            }
        }
    }
}

TEST(Divisor, NextUnitIsTheNormalisedRangeOverTheTotal) {
    VEMK_SEEDED(rng, 0x2E47);
    for (std::uint32_t d = 1; d <= 0x10000; ++d) {
        const rc::ScaledTotal scaledTotal = rc::scaledTotalOf(d);
        const std::uint64_t magic = scaledTotal.magic;
        const std::uint32_t narrowed[] = {1, 2, 0xFF, 0x100, 0x101, 0xFFFF, 0x10000, 0x10001, 0xFFFFFF,
                                          static_cast<std::uint32_t>(rng.between(1, 0xFF)),
                                          static_cast<std::uint32_t>(rng.between(0x100, 0xFFFF)),
                                          static_cast<std::uint32_t>(rng.between(1, 0xFFFFFF))};
        for (std::uint32_t r : narrowed) {
            const int shift = r < 0x100 ? 16 : r < 0x10000 ? 8 : 0;
            const std::uint32_t got = rc::nextUnit(r * magic, scaledTotal);
            if (got != (r << shift) / d) {
                ADD_FAILURE() << "nextUnit for narrowed " << r << ", total " << d << ": " << got;
            }
        }
    }
}

// Every target of every table. The scan's answer is the same across a slot,
// so it is asked again only where a slot ends.
TEST(SymbolLookup, MatchesTheScanOnEveryTarget) {
    VEMK_SEEDED(rng, 0x5107);
    for (const auto& table : tableShapes(rng)) {
        const std::int32_t total = model::tableTotal(table);
        ASSERT_TRUE(total >= 1 && total <= 0x10000) << total;
        const model::SymbolLookup lookup = model::symbolLookup(table);
        model::Slot expected{0, 0, 0};
        for (std::int32_t t = 0; t < total; ++t) {
            if (t >= expected.cumFreq + expected.freq) {
                expected = model::findSymbol(t, table);
            }
            const rc::PackedSlot got = model::findSymbolFast(
                static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(t) >> model::SymbolLookup::bucketBits, lookup);
            const auto packed = rc::packSlot(static_cast<std::uint32_t>(expected.cumFreq),
                                             static_cast<std::uint32_t>(expected.freq),
                                             static_cast<std::uint32_t>(expected.symbol));
            ASSERT_EQ(std::tuple(rc::packedCumFreq(got), rc::packedFreq(got), rc::packedSymbol(got), got),
                      std::tuple(static_cast<std::uint32_t>(expected.cumFreq), static_cast<std::uint32_t>(expected.freq),
                                 static_cast<std::uint32_t>(expected.symbol), packed))
                << "(cumFreq, freq, symbol, packed slot) of target " << t << " of total " << total;
        }
    }
}

TEST(CountBytes, MatchesANaiveCount) {
    VEMK_SEEDED(rng, 0xC0B7);
    std::vector<std::size_t> lengths(101);
    std::iota(lengths.begin(), lengths.end(), std::size_t{0});
    lengths.insert(lengths.end(), {4095, 65537, 100003});
    for (std::size_t n : lengths) {
        Bytes input = rng.chance(0.5) ? rng.bytes(n) : rng.skewed(n, rng.byte(), 0.1);
        model::FrequencyTable expected{};
        for (std::uint8_t b : input) {
            expected[b] += 1;
        }
        EXPECT_EQ(model::countBytes(input), expected) << "length " << n;
    }
}

// Runs of encodeSymbols with one table, between runs of plain encode calls
// with another, against one encode call per symbol. The symbols are chosen
// as they go: mostly the slot that holds the carry boundary while the
// interval straddles it, which piles up long chains of held-back 0xFF bytes,
// then whatever comes, which settles them with or without a carry.
TEST(EncodeSymbols, MatchesPlainEncode) {
    VEMK_SEEDED(rng, 0xE5C0);
    const std::vector<model::FrequencyTable> tables = tableShapes(rng);
    std::int32_t longestCarriedChain = 0;
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Coding codings[] = {codingOf(tables[below(rng, tables.size())]),
                                  codingOf(tables[below(rng, tables.size())])};
        const double straddle = rng.unit();
        std::vector<Bytes> runs(round % 4 == 0 ? 1 : 2 + below(rng, 5)); // even: fast, odd: plain
        std::size_t symbols = 0;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            runs[r].resize(r % 2 == 1 ? below(rng, 4) : rng.chance(0.6) ? below(rng, 6) : 100 + below(rng, 3900));
            symbols += runs[r].size();
        }
        std::vector<EncoderState> after;
        rc::Encoder plain = rc::newEncoder(symbols);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const Coding& c = codings[r % 2];
            for (auto& s : runs[r]) {
                const std::int32_t boundary = (0x1000000 - plain.low) / (plain.range / c.total);
                s = boundary < c.total && rng.chance(straddle)
                        ? static_cast<std::uint8_t>(model::findSymbol(boundary, c.table).symbol)
                        : drawSymbol(rng, c.table);
                const std::int32_t pendingBefore = plain.pending;
                encodePlain(plain, c, s);
                if (plain.carry > 0) {
                    longestCarriedChain = std::max(longestCarriedChain, pendingBefore);
                }
            }
            after.push_back(stateOf(plain));
        }
        const Bytes expected = toBytes(rc::flushEncoder(plain));

        rc::Encoder enc = rc::newEncoder(symbols);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const Coding& c = codings[r % 2];
            if (r % 2 == 0) {
                rc::encodeSymbols(enc, runs[r].data(), runs[r].size(), c.slots.data(), c.total);
            } else {
                for (std::uint8_t s : runs[r]) {
                    encodePlain(enc, c, s);
                }
            }
            const EncoderState got = stateOf(enc);
            ASSERT_EQ(got, after[r]) << "after run " << r << " of " << runs[r].size() << " symbols, total " << c.total
                                     << ": " << vemk::test::sameBytes(got.settled, after[r].settled).message();
        }
        ASSERT_FALSE(enc.outOfMemory);
        const Bytes got = toBytes(rc::flushEncoder(enc));
        ASSERT_TRUE(vemk::test::sameBytes(got, expected)) << hex(got) << " against " << hex(expected);
    }
    // The carry must have run back through long chains, not just one byte.
    EXPECT_GE(longestCarriedChain, 16);
}

// Complete, cut and random streams over every table shape, asking for fewer,
// as many and more symbols than were coded.
TEST(DecodeSymbols, MatchesPlainDecode) {
    VEMK_SEEDED(rng, 0xDEC0);
    const std::vector<model::FrequencyTable> tables = tableShapes(rng);
    for (std::size_t k = 0; k < tables.size() && !HasFailure(); ++k) {
        const Coding c = codingOf(tables[k]);
        SCOPED_TRACE("table " + std::to_string(k) + ", total " + std::to_string(c.total));
        for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{40},
                              200 + below(rng, 2800)}) {
            rc::Encoder enc = rc::newEncoder(n);
            for (std::size_t i = 0; i < n; ++i) {
                encodePlain(enc, c, drawSymbol(rng, c.table));
            }
            const Bytes stream = toBytes(rc::flushEncoder(enc));
            for (std::size_t count : {n, n / 2, n + 3}) {
                expectSameDecoding(stream, c.table, count);
            }
            // Every cut of the shorter streams, a few of the long one.
            for (std::size_t cut = 0; cut < stream.size(); cut += n <= 40 ? 1 : 1 + stream.size() / 16) {
                expectSameDecoding(std::span(stream).first(cut), c.table, n);
            }
        }
        for (int i = 0; i < 60; ++i) {
            const Bytes noise = rng.bytes(rng.chance(0.3) ? below(rng, 6) : 6 + below(rng, 59));
            expectSameDecoding(noise, c.table, below(rng, 81));
        }
    }
}

// The segmented encoder against one encode call per symbol, over inputs and
// plans that put segment boundaries everywhere: every length of a short
// input (so every symbol starts a segment somewhere), inside long held-back
// 0xFF runs and the carries that settle them, on chains of units that never
// meet (a wrong guess every time), with every other guess spoiled, with segments
// of one symbol, and segments of several pieces. Half of the codings write
// the stream over the symbols, as a caller that gives them up lets it.
TEST(EncodeInSegments, MatchesPlainEncode) {
    VEMK_SEEDED(rng, 0x5E6E);
    const std::vector<model::FrequencyTable> tables = tableShapes(rng);
    // Mostly the slot on the carry boundary while the interval straddles
    // it, as in EncodeSymbols.MatchesPlainEncode; returns the held-back
    // 0xFF bytes of the plain encoder before each symbol too.
    auto carryHeavy = [&](const Coding& c, std::size_t n, std::vector<std::int32_t>& pendingAt) {
        rc::Encoder plain = rc::newEncoder(n);
        Bytes out(n);
        for (auto& s : out) {
            pendingAt.push_back(plain.pending);
            const std::int32_t boundary = (0x1000000 - plain.low) / (plain.range / c.total);
            s = boundary < c.total && rng.chance(0.9) ? static_cast<std::uint8_t>(model::findSymbol(boundary, c.table).symbol)
                                                      : drawSymbol(rng, c.table);
            encodePlain(plain, c, s);
        }
        return out;
    };
    struct Row {
        std::string name;
        Coding coding;
        Bytes input;
        std::vector<std::size_t> lengths; // prefixes of the input coded
        std::size_t window;
        bool spoil;
        bool outruns = false; // the stream outruns the symbols early, written over them on one thread
    };
    std::vector<Row> rows;
    std::vector<std::size_t> everyLength(301);
    std::iota(everyLength.begin(), everyLength.end(), std::size_t{0});
    std::vector<std::int32_t> pendingAt;
    auto ownTable = [](const Bytes& b) { return codingOf(model::normstat(model::countBytes(b))); };
    const Coding nearOne = codingOf(vemk::test::tableOf({{'a', 0xFFFF}, {'b', 1}}));
    // Units under 'a' step down by one and wrap round every 255 symbols:
    // two chains out of step stay out of step.
    Bytes cycling(3000, 'a');
    cycling[7] = 'b';
    for (int k = 0; k < 6; ++k) {
        const Coding c = codingOf(tables[below(rng, tables.size())]);
        rows.push_back({"carries, table " + std::to_string(k), c, carryHeavy(c, 300, pendingAt), everyLength,
                        below(rng, 40), k % 2 == 1});
    }
    rows.push_back({"chains that never meet", nearOne, cycling, {300, 1001, 2999, 3000}, 100, false});
    const Bytes text = rng.text(5000);
    rows.push_back({"spoiled guesses", ownTable(text), text, {5000}, 1000, true});
    const Bytes noise = rng.bytes(70000);
    rows.push_back({"random", ownTable(noise), noise, {70000}, 4096, false});
    // Segments of several pieces each, with the default window.
    const Bytes large = rng.skewed(std::size_t{5} << 20, 'e', 0.2);
    rows.push_back({"several pieces", ownTable(large), large, {large.size()}, rc::SegmentPlan{}.window, false});
    // A total of one never narrows the range: pieces without a final byte.
    const Bytes sameByte(std::size_t{3} << 20, 'z');
    rows.push_back({"empty pieces", codingOf(vemk::test::tableOf({{'z', 1}})), sameByte, {sameByte.size()},
                    rc::SegmentPlan{}.window, false});

    // Rare values first, costing more than a byte each, then one value:
    // the rest of the stream goes to a buffer of its own.
    Bytes rareFirst = rng.bytes(3001);
    rareFirst.resize(30001, 'x');
    rows.push_back({"rare values first", ownTable(rareFirst), rareFirst, {rareFirst.size()}, 100, false, true});

    std::size_t writtenOver = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Coding& c = row.coding;
        for (std::size_t n : row.lengths) {
            rc::Encoder plain = rc::newEncoder(n);
            for (std::size_t i = 0; i < n; ++i) {
                encodePlain(plain, c, row.input[i]);
            }
            const Bytes expected = toBytes(rc::flushEncoder(plain));
            for (unsigned threads = 1; threads <= 4; ++threads) {
                rc::SegmentPlan plan;
                plan.threads = threads;
                plan.leastPerThread = n > 100000 ? 1 << 20 : 1;
                plan.window = row.window;
                plan.changeGuess = row.spoil ? spoilEveryOther : nullptr;
                // Over the symbols from a few symbols on, so that short
                // inputs take that path too.
                const bool over = (threads + n) % 2 == 0;
                plan.head = over && n < 100000 ? 1 + n % 7 : plan.head;
                vemk::ByteString spent = vemk::allocateBytes(over ? n : 0);
                ASSERT_TRUE(spent.bytes);
                if (over) {
                    std::copy(row.input.begin(), row.input.begin() + static_cast<std::ptrdiff_t>(n), spent.data());
                    spent.size = n;
                }
                const std::uint8_t* symbols = over ? spent.data() : row.input.data();
                rc::Encoder enc = rc::newEncoder(n);
                const rc::CodedStream stream =
                    rc::encodeInSegments(enc, symbols, n, c.slots.data(), c.total, plan, over ? &spent : nullptr);
                const Bytes got = toBytes(stream);
                ASSERT_FALSE(enc.outOfMemory);
                ASSERT_TRUE(vemk::test::sameBytes(got, expected))
                    << n << " symbols on " << threads << " threads" << (over ? ", over them: " : ": ") << hex(got)
                    << " against " << hex(expected);
                // Where the stream went over the symbols, that part starts
                // the buffer given up.
                std::size_t overAt = stream.partCount;
                for (std::size_t k = 0; k < stream.partCount; ++k) {
                    overAt = stream.parts[k].data() == symbols ? k : overAt;
                }
                writtenOver += overAt < stream.partCount ? 1 : 0;
                if (row.outruns && threads == 1) {
                    ASSERT_EQ(overAt, 1U);
                    EXPECT_GT(stream.parts[2].size, got.size() / 2);
                }
            }
        }
    }
    // The library's buffer interface with its own plan: a file large enough
    // for two threads is the file of one.
    const Bytes big = rng.skewed(std::size_t{9} << 20, ' ', 0.3);
    const vemk::Packed one = vemk::compressBuffer(big);
    for (unsigned threads : {2U, 3U}) {
        const vemk::Packed many = vemk::compressBuffer(big, threads);
        ASSERT_EQ(many.result, vemk::Result::ok);
        EXPECT_TRUE(vemk::test::sameBytes(toBytes(many.file), toBytes(one.file))) << threads << " threads";
    }
    // Boundaries fell inside long runs of held-back 0xFF bytes.
    std::size_t longRuns = 0;
    for (std::size_t i = 0; i < pendingAt.size(); ++i) {
        longRuns += pendingAt[i] >= 8 ? 1 : 0;
    }
    EXPECT_GE(longRuns, 50U);
    EXPECT_GE(writtenOver, 500U);
}
