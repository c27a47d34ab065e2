#include "rc/coder.h"

#include "support.h"

namespace rc = vemk::rc;
using vemk::test::Bytes;
using vemk::test::hex;
using vemk::test::toBytes;

namespace {

struct SlotOf {
    std::int32_t cumFreq;
    std::int32_t freq;
    std::int32_t total;
};

Bytes encodeAll(const std::vector<SlotOf>& slots) {
    rc::Encoder enc = rc::newEncoder(slots.size());
    for (const auto& s : slots) {
        rc::encode(enc, s.cumFreq, s.freq, s.total);
    }
    return toBytes(rc::flushEncoder(enc));
}

Bytes written(const rc::Encoder& enc) { return Bytes(enc.buffer.get(), enc.buffer.get() + enc.pos); }

} // namespace

TEST(Encoder, StreamVectors) {
    // Symbols 0, 1, 2 with slots (0, 1), (1, 254), (255, 1) out of 256.
    const SlotOf s0{0, 1, 256}, s1{1, 254, 256}, s2{255, 1, 256};
    struct Case {
        const char* name;
        std::vector<SlotOf> slots;
        Bytes stream;
    };
    const Case cases[] = {
        {"no symbol", {}, {0x00, 0x00, 0x00, 0x00}},
        {"one symbol owning the whole interval", {{0, 64768, 64768}}, {0x00, 0x00, 0x00, 0x00}},
        {"one symbol in the top quarter", {{3, 1, 4}}, {0x00, 0xBF, 0xFF, 0xFD}},
        {"carry through a pending byte", {s1, s0, s0, s2}, {0x00, 0x01, 0x00, 0xFC, 0x01, 0x01, 0x00}},
        {"two symbols of two", {{0, 1, 2}, {1, 1, 2}}, {0x00, 0x3F, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes got = encodeAll(c.slots);
        EXPECT_EQ(got, c.stream) << hex(got);
    }
}

// shiftLow on hand-set states: a top byte of 0xFF without a carry is held
// back, anything else settles the held-back bytes.
TEST(Encoder, ShiftLowSettlesOrDefers) {
    struct Case {
        const char* name;
        std::int32_t low, cache, pending, carry;
        Bytes out;
        std::int32_t cacheAfter, pendingAfter, lowAfter;
    };
    const Case cases[] = {
        {"0xFF0000 is deferred", 0xFF0000, 0x12, 0, 0, {}, 0x12, 1, 0},
        {"0xFFFFFF is deferred", 0xFFFFFF, 0x12, 3, 0, {}, 0x12, 4, 0xFFFF00},
        {"one below 0xFF0000 is written", 0xFEFFFF, 0x12, 0, 0, {0x12}, 0xFE, 0, 0xFFFF00},
        {"pending 0xFF bytes follow the cache", 0x123456, 0x12, 2, 0, {0x12, 0xFF, 0xFF}, 0x12, 0, 0x345600},
        {"a carry turns them into cache + 1 and zeros", 0xFF1234, 0x12, 2, 1, {0x13, 0x00, 0x00}, 0xFF, 0, 0x123400},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rc::Encoder enc = rc::newEncoder(8);
        enc.low = c.low;
        enc.cache = c.cache;
        enc.pending = c.pending;
        enc.carry = c.carry;
        rc::shiftLow(enc);
        EXPECT_EQ(written(enc), c.out);
        EXPECT_EQ(enc.cache, c.cacheAfter);
        EXPECT_EQ(enc.pending, c.pendingAfter);
        EXPECT_EQ(enc.carry, 0);
        EXPECT_EQ(enc.low, c.lowAfter);
    }
}

TEST(Encoder, NormalisesOnlyBelow0x10000) {
    struct Case {
        const char* name;
        std::int32_t rangeBefore, freq, total;
        std::int32_t rangeAfter;
        std::int32_t shifts; // seen as bytes settled: written + pending
    };
    const Case cases[] = {
        {"exactly 0x10000 stays", 0x40000, 1, 4, 0x10000, 0},
        {"one below takes one step", 0x40000 - 4, 1, 4, 0xFFFF00, 1},
        {"below 0x100 takes two", 0xFFFFFF, 1, 65536, 0xFF0000, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rc::Encoder enc = rc::newEncoder(4);
        enc.range = c.rangeBefore;
        rc::encode(enc, 0, c.freq, c.total);
        EXPECT_EQ(enc.range, c.rangeAfter);
        EXPECT_EQ(static_cast<std::int64_t>(enc.pos) + enc.pending, c.shifts);
    }
}

// The room is only where the buffer starts: a stream far longer than it
// grows and comes out as it would from room for all of it. (Room that
// cannot be had is outOfMemory: the allocation-failure sweep.)
TEST(Encoder, RoomGrowsAsTheStreamNeeds) {
    rc::Encoder small = rc::newEncoder(0);
    rc::Encoder roomy = rc::newEncoder(300000);
    for (std::int32_t i = 0; i < 100000; ++i) {
        // Two bytes a symbol: freq 1 of a total of 65536.
        rc::encode(small, i % 65536, 1, 65536);
        rc::encode(roomy, i % 65536, 1, 65536);
    }
    EXPECT_FALSE(small.outOfMemory);
    EXPECT_EQ(toBytes(rc::flushEncoder(small)), toBytes(rc::flushEncoder(roomy)));
}

TEST(Decoder, StartTargetAndLoads) {
    const Bytes start{0x00, 0x12, 0x34, 0x56};
    rc::Decoder dec = rc::newDecoder(start);
    EXPECT_EQ(dec.pos, 4u);
    EXPECT_EQ(dec.range, 0xFFFFFF);
    EXPECT_EQ(dec.code, 0x123456);
    EXPECT_FALSE(rc::ranPastEnd(dec));

    const Bytes otherFirst{0xFF, 0x12, 0x34, 0x56}; // byte 0 never counts
    EXPECT_EQ(rc::newDecoder(otherFirst).code, 0x123456);

    EXPECT_EQ(rc::decodeTarget(dec, 0xFD00), 4606);
    EXPECT_EQ(dec.range, 259);

    rc::Decoder whole = rc::newDecoder(start);
    EXPECT_EQ(rc::decodeTarget(whole, 1), 0);
    EXPECT_EQ(whole.range, 0xFFFFFF);

    const Bytes high{0x00, 0xFF, 0xFF, 0xFF, 0xFF};
    rc::Decoder ff = rc::newDecoder(high);
    EXPECT_EQ(ff.code, 0xFFFFFF);
    rc::loadByte(ff);
    EXPECT_EQ(ff.code, 0xFFFFFF);

    // Past the end a load gives 0 and shows; a decoder that decodes nothing
    // may be made over any bytes, none at all included.
    rc::Decoder past = rc::newDecoder(start);
    rc::loadByte(past);
    EXPECT_EQ(past.code, 0x345600);
    EXPECT_TRUE(rc::ranPastEnd(past));
    EXPECT_TRUE(rc::ranPastEnd(rc::newDecoder({})));
    const Bytes three{0x00, 0xAB, 0xCD};
    EXPECT_EQ(rc::newDecoder(three).code, 0xABCD00);
}

TEST(Decoder, NarrowLoadsOneByteAStep) {
    const Bytes stream{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    struct Case {
        const char* name;
        std::int32_t unit, freq;
        std::int32_t rangeAfter;
        std::size_t loads;
    };
    const Case cases[] = {
        {"unit 1, freq 1", 1, 1, 0x10000, 2},
        {"exactly 0x10000", 0x100, 0x100, 0x10000, 0},
        {"0xFFFF", 0xFFFF, 1, 0xFFFF00, 1},
        {"0x100", 0x100, 1, 0x10000, 1},
        {"0xFF", 0xFF, 1, 0xFF0000, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rc::Decoder dec = rc::newDecoder(stream);
        dec.range = c.unit;
        rc::decodeNarrow(dec, c.freq, 0);
        EXPECT_EQ(dec.range, c.rangeAfter);
        EXPECT_EQ(dec.pos, 4 + c.loads);
    }
}

TEST(Decoder, TwoSymbolWalkThrough) {
    const Bytes stream{0x00, 0x3F, 0xFF, 0xFF};
    rc::Decoder dec = rc::newDecoder(stream);
    EXPECT_EQ(dec.code, 0x3FFFFF);
    EXPECT_EQ(rc::decodeTarget(dec, 2), 0);
    EXPECT_EQ(dec.range, 0x7FFFFF);
    rc::decodeNarrow(dec, 1, 0);
    EXPECT_EQ(dec.pos, 4u);
    EXPECT_EQ(rc::decodeTarget(dec, 2), 1);
    EXPECT_EQ(dec.range, 0x3FFFFF);
    rc::decodeNarrow(dec, 1, 1);
    EXPECT_EQ(dec.code, 0);
    EXPECT_EQ(dec.range, 0x3FFFFF);
    EXPECT_EQ(dec.pos, stream.size());
    EXPECT_FALSE(rc::ranPastEnd(dec));
}

// Random slot sequences through encoder and decoder. Besides the symbols
// coming back, the decoder must track the encoder's range step for step,
// the stream must be 4 bytes plus one per normalisation step, and the
// decoder must end exactly on its last byte.
TEST(RangeCoder, RandomRoundTrips) {
    VEMK_SEEDED(rng, 3101);
    std::int64_t carries = 0;
    std::int32_t longestPending = 0;
    for (int trial = 0; trial < 600; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        const std::int32_t totals[] = {1, 2, 3, 255, 256, 64768, 65535, 65536};
        std::int32_t total = rng.chance(0.4) ? totals[rng.between(0, 7)] : rng.between32(1, 65536);
        auto count = static_cast<std::size_t>(rng.chance(0.1) ? rng.between(0, 5) : rng.between(0, 3000));
        // Some runs stay near the top of the interval, which is what makes
        // pending 0xFF bytes and carries.
        double topBias = rng.unit();

        std::vector<SlotOf> slots;
        std::vector<std::int32_t> ranges;
        std::int64_t shifts = 0;
        rc::Encoder enc = rc::newEncoder(count);
        for (std::size_t i = 0; i < count; ++i) {
            std::int32_t freq = rng.chance(0.5) ? rng.between32(1, std::min(total, 4))
                                                : rng.between32(1, total);
            std::int32_t cumFreq = rng.chance(topBias) ? total - freq : rng.between32(0, total - freq);
            slots.push_back({cumFreq, freq, total});

            std::int32_t narrowed = (enc.range / total) * freq;
            rc::encode(enc, cumFreq, freq, total);
            std::int32_t steps = narrowed < 0x100 ? 2 : narrowed < 0x10000 ? 1 : 0;
            ASSERT_EQ(enc.range, narrowed << (8 * steps)) << "symbol " << i;
            ASSERT_GE(enc.range, 0x10000);
            ASSERT_LE(enc.low, 0xFFFFFF);
            shifts += steps;
            ranges.push_back(enc.range);
            carries += enc.carry;
            longestPending = std::max(longestPending, enc.pending);
        }
        Bytes stream = toBytes(rc::flushEncoder(enc));
        ASSERT_EQ(static_cast<std::int64_t>(stream.size()), 4 + shifts);
        ASSERT_EQ(stream[0], 0x00);

        rc::Decoder dec = rc::newDecoder(stream);
        for (std::size_t i = 0; i < count; ++i) {
            std::int32_t target = rc::decodeTarget(dec, total);
            ASSERT_GE(target, slots[i].cumFreq) << "symbol " << i;
            ASSERT_LT(target, slots[i].cumFreq + slots[i].freq) << "symbol " << i;
            rc::decodeNarrow(dec, slots[i].freq, slots[i].cumFreq);
            ASSERT_EQ(dec.range, ranges[i]) << "symbol " << i;
        }
        EXPECT_EQ(dec.pos, stream.size());
        EXPECT_FALSE(rc::ranPastEnd(dec));
    }
    // Otherwise the sweep would not have reached the carry path at all.
    EXPECT_GT(carries, 0);
    EXPECT_GE(longestPending, 2);
}
