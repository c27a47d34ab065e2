#include "rc/segments.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace vemk::rc {

namespace {

// What is coded: the symbols and the table's slots and total.
struct Job {
    const std::uint8_t* symbols = nullptr;
    std::size_t count = 0;
    const SymbolSlot* slots = nullptr;
    std::int32_t total = 0;
    std::size_t expected = 0; // bytes the stream is expected to take
};

// Room for the stream of `n` of the job's symbols, their share of the
// expected bytes (no product here reaches 2^64).
std::size_t roomForSymbols(const Job& job, std::size_t n) {
    const std::uint64_t share = job.count == 0 ? 0 : std::uint64_t{job.expected} * n / job.count;
    return roomFor(static_cast<std::size_t>(share));
}

// A segment codes into one buffer of its own, sized for its expected
// stream and placed for huge pages where it is large: fresh memory is
// dear to fault in, a page of 4 KiB at a time dearest.
struct Segment {
    const std::uint8_t* symbols = nullptr;
    std::size_t count = 0;
    std::int32_t startRange = 0; // the range at its first symbol, guessed or known; 0 for no guess
    std::int32_t endRange = 0;   // after its last symbol
    ByteString stream;           // its coded number, first byte 0
    std::size_t room = 0;        // of the stream's buffer
    bool outOfMemory = false;
};

// Codes the segment from startRange and a low of 0, to its own flushed end.
// Coded again after a wrong guess, it reuses its buffer.
void codeSegment(Segment& seg, const Job& job) {
    Encoder enc;
    enc.range = seg.startRange;
    if (seg.stream.bytes) {
        enc.buffer = std::move(seg.stream.bytes);
    } else {
        seg.room = roomForSymbols(job, seg.count);
        enc.buffer = allocateBytes(seg.room).bytes;
    }
    enc.room = enc.buffer ? seg.room : 0;
    enc.outOfMemory = !enc.buffer;
    encodeGrowing(enc, seg.symbols, seg.count, job.slots, job.total);
    seg.endRange = enc.range;
    seg.room = enc.room;
    seg.stream = flushEncoder(enc);
    seg.outOfMemory = enc.outOfMemory;
}

// Guesses the range at the segment's first symbol from the `before` symbols
// ahead of it (at most the plan's window), and codes it from there.
void guessAndCode(Segment& seg, std::size_t j, std::size_t before, const SymbolSteps& steps, const Job& job,
                  const SegmentPlan& plan) {
    const std::size_t window = std::min(plan.window, before);
    const std::uint8_t* from = seg.symbols - window;
    seg.startRange = rangeAfter(0xFFFFFF, from, window, steps);
    // Chains from both ends of the range that have not met by the end of
    // the window are unlikely to have met the true one either (on random
    // bytes they seldom do): coding on a guess would be wasted work, and
    // the join codes the segment in turn instead.
    if (rangeAfter(0x10000, from, window, steps) / job.total != seg.startRange / job.total) {
        seg.startRange = 0;
        return;
    }
    if (plan.changeGuess != nullptr) {
        seg.startRange = plan.changeGuess(seg.startRange, job.total, j);
    }
    codeSegment(seg, job);
}

// Adds `value` to the byte `back` bytes before the end of the stream so far
// (1 <= back <= its size), carrying back as far as needed. The sum is
// exact, so a carry always settles before it would pass the first byte.
void addFromEnd(CodedStream& stream, std::size_t back, std::uint8_t value) {
    std::size_t p = stream.partCount - 1;
    while (back > stream.parts[p].size) {
        back -= stream.parts[p].size;
        --p;
    }
    std::uint8_t* first = stream.parts[p].data();
    std::uint8_t* at = first + stream.parts[p].size - back;
    const unsigned sum = unsigned{*at} + value;
    *at = static_cast<std::uint8_t>(sum);
    bool settled = sum <= 0xFF;
    while (!settled && (at > first || p > 0)) {
        if (at == first) {
            first = stream.parts[--p].data();
            at = first + stream.parts[p].size;
        }
        settled = carryBack(first, at - 1);
        at = first;
    }
}

// Takes `bytes` on as the stream's next part (there is room for it), unless
// it is empty.
void addPart(CodedStream& stream, ByteString bytes) {
    if (bytes.size > 0) {
        stream.parts[stream.partCount++] = std::move(bytes);
    }
}

// The stream so far is flushed and ends with the four bytes where the
// segment's number starts: adds those, and takes the rest of the segment's
// stream on as the stream's next part (there is room for it).
void appendSegment(CodedStream& stream, Segment& seg) {
    constexpr std::size_t overlap = 4;
    ByteString& own = seg.stream;
    for (std::size_t k = 0; k < overlap; ++k) {
        addFromEnd(stream, overlap - k, own.data()[k]);
    }
    std::memmove(own.data(), own.data() + overlap, own.size - overlap);
    own.size -= overlap;
    addPart(stream, std::move(own));
}

// The main encoder's coding, written over the symbols it has read where
// the caller gave their buffer up: first in the encoder's own buffer (while
// `spent` is still the caller's), then over the symbols (while the encoder's
// room is fixed), then, if the lead of the symbols over the stream ran
// short, in a buffer of its own again.
struct MainRun {
    ByteString* spent = nullptr; // the symbols' buffer, until the encoder takes it
    OwnedBytes unused;           // that buffer, left with no byte of the stream: other threads may still read it
    std::size_t head = 0;        // symbols coded before writing over them
};

// Ends the current buffer's share of the stream: its final bytes become the
// stream's next part, and the encoder goes on in `next` (the held-back
// bytes are written again from the record).
void nextBuffer(Encoder& enc, CodedStream& stream, OwnedBytes next, std::size_t room) {
    addPart(stream, ByteString{std::move(enc.buffer), enc.pos});
    enc.buffer = std::move(next);
    enc.room = room;
    enc.pos = 0;
}

// From writing over the symbols, with `left` symbols still to code, to a
// buffer of the encoder's own with room for the rest of the stream as it
// is expected to be.
void leaveOver(MainRun& run, Encoder& enc, CodedStream& stream, const Job& job, std::size_t left) {
    if (enc.pos == 0) {
        run.unused = std::move(enc.buffer);
    }
    enc.roomFixed = false;
    std::size_t room = roomForSymbols(job, left) + static_cast<std::size_t>(enc.pending);
    OwnedBytes rest = allocateBytes(room).bytes;
    if (!rest) {
        enc.outOfMemory = true;
        room = 0;
    }
    nextBuffer(enc, stream, std::move(rest), room);
}

// Codes symbols [from, to) in the main encoder. No byte goes at or past
// `limit` of the symbols' buffer, where another thread may still read.
void codeMain(MainRun& run, Encoder& enc, CodedStream& stream, const Job& job, std::size_t from, std::size_t to,
              std::size_t limit) {
    std::size_t i = from;
    if (run.spent) {
        const std::size_t n = i < run.head ? std::min(to, run.head) - i : 0;
        encodeGrowing(enc, job.symbols + i, n, job.slots, job.total);
        i += n;
        if (i == run.head && i < to && !enc.outOfMemory) {
            // Its first buffer keeps only the bytes it holds: the room it
            // was made with for the whole stream is not needed now.
            (void)resizeBytes(enc.buffer, enc.pos);
            nextBuffer(enc, stream, std::move(run.spent->bytes), 0);
            run.spent = nullptr;
            enc.roomFixed = true;
        }
    }
    while (enc.roomFixed && i < to && !enc.outOfMemory) {
        // A call with n symbols writes the held-back bytes and at most two
        // bytes per symbol, with three of slack, from `pos` on: all of it
        // must lie below the next symbol to read. (`needed` cannot wrap:
        // after each block it is below i, and before the first, `pos` is 0
        // and the held-back bytes are at most two per symbol coded.)
        const std::size_t below = std::min(i, limit);
        const std::size_t needed = enc.pos + static_cast<std::size_t>(enc.pending) + 4;
        const std::size_t n = std::min(to - i, below > needed ? (below - needed) / 2 : 0);
        if (n < to - i && n < std::max<std::size_t>(run.head / 4, 1)) {
            leaveOver(run, enc, stream, job, job.count - i);
            break;
        }
        enc.room = below;
        encodeSymbols(enc, job.symbols + i, n, job.slots, job.total);
        i += n;
    }
    encodeGrowing(enc, job.symbols + i, to - i, job.slots, job.total);
}

// The main encoder's final bytes as the stream's last parts so far. The
// flush writes where the lead over the symbols was not reckoned with, so
// it never writes over them.
void flushMain(MainRun& run, Encoder& enc, CodedStream& stream, const Job& job) {
    if (enc.roomFixed) {
        leaveOver(run, enc, stream, job, 0);
    }
    addPart(stream, flushEncoder(enc));
}

// The segments after the first, which the main encoder codes itself.
struct Segments {
    std::size_t parts = 1; // segments in all
    std::size_t each = 0;  // symbols in segment 0 and in every one but the last
    std::unique_ptr<Segment[]> segs;
    std::unique_ptr<std::thread[]> workers;
};

Segments planSegments(const Job& job, const SegmentPlan& plan, bool outOfMemory) {
    Segments s;
    const std::size_t least = std::max<std::size_t>(plan.leastPerThread, 1);
    s.parts = std::min<std::size_t>(std::max(plan.threads, 1U), job.count / least);
    if (s.parts > 1 && !outOfMemory) {
        s.segs.reset(new (std::nothrow) Segment[s.parts]);
        s.workers.reset(new (std::nothrow) std::thread[s.parts]);
    }
    if (!s.segs || !s.workers) {
        s.parts = 1; // one segment of everything, coded here: encodeSymbols and the flush
    }
    s.each = job.count / s.parts;
    for (std::size_t j = 1; j < s.parts; ++j) {
        s.segs[j].symbols = job.symbols + j * s.each;
        s.segs[j].count = j + 1 < s.parts ? s.each : job.count - j * s.each;
    }
    return s;
}

// Joins the segments in order, each coded on its guess or, without a right
// one, again here. Until a segment coded on its guess is joined, the stream
// is the main encoder's alone: a segment without a right guess simply goes
// on in it, as on one thread. After that, such a segment is coded again in
// a buffer of its own, from the range where the one before it ended.
void joinSegments(Segments& s, MainRun& run, Encoder& enc, CodedStream& stream, const Job& job,
                  const SegmentPlan& plan) {
    // Segment j + 1 reads from the start of its window on.
    auto readFrom = [&](std::size_t j) {
        return j + 1 < s.parts ? (j + 1) * s.each - std::min(plan.window, (j + 1) * s.each) : job.count;
    };
    codeMain(run, enc, stream, job, 0, s.each, readFrom(0));
    bool joined = false;    // the main encoder is flushed into the stream
    std::int32_t range = 0; // once joined, the range at the end of the stream so far
    for (std::size_t j = 1; j < s.parts && !enc.outOfMemory; ++j) {
        Segment& seg = s.segs[j];
        const bool ran = s.workers[j].joinable();
        if (ran) {
            s.workers[j].join();
        }
        const std::int32_t startRange = joined ? range : enc.range;
        const bool rightGuess = ran && seg.startRange != 0 && seg.startRange / job.total == startRange / job.total;
        if (!joined && !rightGuess) {
            seg.stream = {};
            codeMain(run, enc, stream, job, j * s.each, j * s.each + seg.count, readFrom(j));
            continue;
        }
        if (!joined) {
            range = enc.range;
            flushMain(run, enc, stream, job);
            joined = true;
        }
        if (!rightGuess) {
            seg.startRange = range;
            codeSegment(seg, job);
        }
        if (seg.outOfMemory) {
            enc.outOfMemory = true;
        } else {
            appendSegment(stream, seg);
        }
        range = seg.endRange;
    }
    if (!joined && !enc.outOfMemory) {
        flushMain(run, enc, stream, job);
    }
}

} // namespace

std::size_t roomFor(std::size_t expected) {
    constexpr std::size_t block = (std::size_t{2} << 20) + 4096;
    const std::size_t margin = expected / 64 + block;
    return expected <= SIZE_MAX - margin ? expected + margin : SIZE_MAX;
}

std::size_t streamSize(const CodedStream& stream) {
    std::size_t size = 0;
    for (std::size_t k = 0; k < stream.partCount; ++k) {
        size += stream.parts[k].size;
    }
    return size;
}

CodedStream encodeInSegments(Encoder& enc, const std::uint8_t* symbols, std::size_t count, const SymbolSlot* slots,
                             std::int32_t total, const SegmentPlan& plan, ByteString* spent) {
    const Job job{symbols, count, slots, total, plan.expected != 0 ? plan.expected : count};
    Segments s = planSegments(job, plan, enc.outOfMemory);
    // Only guesses need the steps (an empty input has a total of 0).
    const SymbolSteps steps = s.parts > 1 ? symbolStepsOf(slots, static_cast<std::uint32_t>(total)) : SymbolSteps{};
    // The main encoder's parts (its own buffer, over the symbols, its own
    // again) and one for each other segment.
    const std::size_t partsAtMost = 3 + s.parts;
    for (std::size_t j = 1; j < s.parts; ++j) {
        // Without a thread, the join codes this segment itself.
        (void)platform::startThread(s.workers[j], [&s, &steps, &job, &plan, j] {
            guessAndCode(s.segs[j], j, j * s.each, steps, job, plan);
        });
    }
    CodedStream stream;
    stream.parts.reset(new (std::nothrow) ByteString[partsAtMost]);
    enc.outOfMemory = enc.outOfMemory || !stream.parts;
    MainRun run;
    run.head = std::max<std::size_t>(plan.head, 1);
    run.spent = stream.parts && spent && spent->data() == symbols && count > run.head ? spent : nullptr;
    if (stream.parts) {
        joinSegments(s, run, enc, stream, job, plan);
    }
    for (std::size_t j = 1; j < s.parts; ++j) {
        if (s.workers[j].joinable()) {
            s.workers[j].join();
        }
    }
    enc.room = 0;
    enc.pos = 0;
    return stream;
}

} // namespace vemk::rc
