// The encoder on several threads: see SegmentPlan.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "driver/platform.h"
#include "rc/rc.h"

namespace vemk::rc {

namespace {

// A segment hands its final bytes over every this many symbols, in pieces
// that become parts of the stream as they are: the coded bytes are never
// copied into another buffer, nor held twice. Every piece has the same room (the symbols' bytes
// and the flush, with slack for held-back bytes; more is grown when needed).
// Pieces four times as long would fit huge pages and fault far less, but
// each would hold a whole 2 MiB page for about 1.2 MB of stream on text: more
// memory, and no time saved.
constexpr std::size_t symbolsPerPiece = std::size_t{1} << 19;
constexpr std::size_t pieceRoom = 2 * symbolsPerPiece + 4096;

struct Segment {
    const std::uint8_t* symbols = nullptr;
    std::size_t count = 0;
    std::int32_t startRange = 0;     // the range at its first symbol, guessed or known; 0 for no guess
    std::int32_t endRange = 0;       // after its last symbol
    std::unique_ptr<ByteString[]> pieces; // its coded number, first byte 0, in order
    std::size_t pieceCount = 0;
    bool outOfMemory = false;
};

std::size_t piecesFor(std::size_t count) { return count / symbolsPerPiece + 1; }

// Codes the segment from startRange and a low of 0, to its own flushed end.
// Coded again after a wrong guess, it reuses the pieces of the first coding
// (each has pieceRoom at least), so that the second coding needs no more
// memory than the first.
void codeSegment(Segment& seg, const SymbolSlot* slots, std::int32_t total) {
    if (!seg.pieces) {
        seg.pieces.reset(new (std::nothrow) ByteString[piecesFor(seg.count)]);
    }
    seg.pieceCount = 0;
    seg.outOfMemory = !seg.pieces;
    Encoder enc;
    enc.range = seg.startRange;
    for (std::size_t done = 0; done < seg.count && !seg.outOfMemory;) {
        const std::size_t n = std::min(symbolsPerPiece, seg.count - done);
        ByteString& earlier = seg.pieces[seg.pieceCount];
        enc.buffer = earlier.bytes ? std::move(earlier) : allocateBytes(pieceRoom);
        enc.buffer.size = 0;
        enc.room = enc.buffer.bytes ? pieceRoom : 0;
        enc.pos = 0;
        encodeSymbols(enc, seg.symbols + done, n, slots, total);
        done += n;
        ByteString piece;
        if (done == seg.count) {
            seg.endRange = enc.range;
            piece = flushEncoder(enc);
        } else {
            // Bytes before `pos` are final; the held-back ones are written
            // again from the record by the next call.
            piece = std::move(enc.buffer);
            piece.size = enc.pos;
        }
        seg.pieces[seg.pieceCount++] = std::move(piece);
        seg.outOfMemory = enc.outOfMemory || !seg.pieces[seg.pieceCount - 1].bytes;
    }
}

// A range whose unit differs from that of `range`, for the test hook.
std::int32_t spoiled(std::int32_t range, std::int32_t total) {
    return range >= 0x10000 + total ? range - total : range + total;
}

// Adds `value` to the byte `back` bytes before the end of the stream so far
// (1 <= back <= its size), carrying back as far as needed. The sum is
// exact, so a carry always finds a byte below 0xFF before the first byte.
void addFromEnd(CodedStream& stream, std::size_t back, std::uint8_t value) {
    std::size_t p = stream.partCount - 1;
    while (back > stream.parts[p].size) {
        back -= stream.parts[p].size;
        --p;
    }
    std::size_t at = stream.parts[p].size - back;
    unsigned sum = unsigned{stream.parts[p].data()[at]} + value;
    stream.parts[p].data()[at] = static_cast<std::uint8_t>(sum);
    while (sum > 0xFF && (at > 0 || p > 0)) {
        if (at == 0) {
            at = stream.parts[--p].size;
        }
        --at;
        sum = unsigned{stream.parts[p].data()[at]} + 1;
        stream.parts[p].data()[at] = static_cast<std::uint8_t>(sum);
    }
}

// Takes `bytes` on as the stream's next part (there is room for it), unless
// it is empty.
void addPart(CodedStream& stream, ByteString bytes) {
    if (bytes.size > 0) {
        stream.size += bytes.size;
        stream.parts[stream.partCount++] = std::move(bytes);
    }
}

// The stream so far is flushed and ends with the four bytes where the
// segment's number starts: adds those, and takes the segment's pieces on as
// the stream's next parts (there is room for them).
void appendSegment(CodedStream& stream, Segment& seg) {
    std::size_t overlap = 4;
    for (std::size_t k = 0; k < seg.pieceCount; ++k) {
        ByteString piece = std::move(seg.pieces[k]);
        std::size_t added = 0;
        for (; overlap > 0 && added < piece.size; --overlap, ++added) {
            addFromEnd(stream, overlap, piece.data()[added]);
        }
        if (added > 0) {
            std::memmove(piece.data(), piece.data() + added, piece.size - added);
            piece.size -= added;
        }
        addPart(stream, std::move(piece));
    }
}

// The main encoder's coding, written over the symbols it has read where
// the caller gave their buffer up: first in the encoder's own buffer (while
// `spent` is still the caller's), then over the symbols (while the encoder's
// room is fixed), then, if the lead of the symbols over the stream ran
// short, in a buffer of its own again.
struct MainRun {
    ByteString* spent = nullptr; // the symbols' buffer, until the encoder takes it
    ByteString unused;           // that buffer, left with no byte of the stream: other threads may still read it
    std::size_t head = 0;        // symbols coded before writing over them
    std::size_t count = 0;       // symbols in all
};

// Ends the current buffer's share of the stream: its final bytes become the
// stream's next part, and the encoder goes on in `next` (the held-back
// bytes are written again from the record).
void nextBuffer(Encoder& enc, CodedStream& stream, ByteString next, std::size_t room) {
    enc.buffer.size = enc.pos;
    addPart(stream, std::move(enc.buffer));
    enc.buffer = std::move(next);
    enc.room = room;
    enc.pos = 0;
}

// From writing over the symbols, before symbol `next`, to a buffer of the
// encoder's own with room for the rest of the stream (as much as the
// encoder's first buffer would have kept for it), so that it never has to
// grow.
void leaveOver(MainRun& run, Encoder& enc, CodedStream& stream, std::size_t next) {
    if (enc.pos == 0) {
        run.unused = std::move(enc.buffer);
    }
    enc.roomFixed = false;
    const std::size_t left = run.count - next;
    const std::size_t held = static_cast<std::size_t>(enc.pending) + 8;
    std::size_t room = left <= (SIZE_MAX - held) / 2 ? 2 * left + held : 0;
    ByteString rest = allocateBytes(room);
    if (!rest.bytes) {
        enc.outOfMemory = true;
        room = 0;
    }
    nextBuffer(enc, stream, std::move(rest), room);
}

// Codes symbols [from, to) in the main encoder. No byte goes at or past
// `limit` of the symbols' buffer, where another thread may still read.
void codeMain(MainRun& run, Encoder& enc, CodedStream& stream, const std::uint8_t* symbols, std::size_t from,
              std::size_t to, std::size_t limit, const SymbolSlot* slots, std::int32_t total) {
    std::size_t i = from;
    if (run.spent) {
        const std::size_t n = i < run.head ? std::min(to, run.head) - i : 0;
        encodeSymbols(enc, symbols + i, n, slots, total);
        i += n;
        if (i == run.head && i < to && !enc.outOfMemory) {
            // Its first buffer keeps only the bytes it holds: the room it
            // was made with for the whole stream is not needed now.
            (void)growBytes(enc.buffer, enc.pos);
            nextBuffer(enc, stream, std::move(*run.spent), 0);
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
            leaveOver(run, enc, stream, i);
            break;
        }
        enc.room = below;
        encodeSymbols(enc, symbols + i, n, slots, total);
        i += n;
    }
    encodeSymbols(enc, symbols + i, to - i, slots, total);
}

// The main encoder's final bytes as the stream's last parts so far. The
// flush writes where the lead over the symbols was not reckoned with, so
// it never writes over them.
void flushMain(MainRun& run, Encoder& enc, CodedStream& stream) {
    if (enc.roomFixed) {
        leaveOver(run, enc, stream, run.count);
    }
    addPart(stream, flushEncoder(enc));
}

} // namespace

std::int32_t rangeAfter(std::int32_t range, const std::uint8_t* symbols, std::size_t count,
                        const SymbolSteps& steps) {
    if (count == 0) {
        return range;
    }
    std::uint64_t scaled = static_cast<std::uint32_t>(range) * steps.scaledTotal.magic;
    std::uint32_t unit = nextUnit(scaled, steps.scaledTotal);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t shifts = normalisingShifts(unit, symbols[i], steps);
        scaled = unit * steps.freqMagic[symbols[i]];
        unit = static_cast<std::uint32_t>(scaled >> (divisorShift - 8 * shifts));
    }
    return static_cast<std::int32_t>(normalisedRange(scaled, steps.scaledTotal));
}

CodedStream encodeInSegments(Encoder& enc, const std::uint8_t* symbols, std::size_t count,
                             const SymbolSlot* slots, std::int32_t total, const SegmentPlan& plan,
                             ByteString* spent) {
    const std::size_t least = std::max<std::size_t>(plan.leastPerThread, 1);
    std::size_t parts = std::min<std::size_t>(std::max(plan.threads, 1U), count / least);
    std::unique_ptr<Segment[]> segs;
    std::unique_ptr<std::thread[]> workers;
    if (parts > 1 && !enc.outOfMemory) {
        segs.reset(new (std::nothrow) Segment[parts]);
        workers.reset(new (std::nothrow) std::thread[parts]);
    }
    if (!segs || !workers) {
        parts = 1; // one segment of everything, coded here: encodeSymbols and the flush
    }

    // Only guesses need the steps (an empty input has a total of 0).
    const SymbolSteps steps = parts > 1 ? symbolStepsOf(slots, static_cast<std::uint32_t>(total)) : SymbolSteps{};
    // Segment 0 is the first `each` symbols, coded here straight into the
    // stream; segs[j] describes the others.
    const std::size_t each = count / parts;
    std::size_t partsAtMost = 3; // the main encoder's: its own buffer, over the symbols, its own again
    for (std::size_t j = 1; j < parts; ++j) {
        segs[j].symbols = symbols + j * each;
        segs[j].count = j + 1 < parts ? each : count - j * each;
        partsAtMost += piecesFor(segs[j].count);
    }
    auto guessAndCode = [&steps, slots, total, &plan](Segment& seg, std::size_t j, std::size_t before) {
        const std::size_t window = std::min(plan.window, before);
        const std::uint8_t* from = seg.symbols - window;
        seg.startRange = rangeAfter(0xFFFFFF, from, window, steps);
        // Chains from both ends of the range that have not met by the end
        // of the window are unlikely to have met the true one either (on
        // random bytes they seldom do): coding on a guess would be wasted
        // work, and the join codes the segment in turn instead.
        if (rangeAfter(0x10000, from, window, steps) / total != seg.startRange / total) {
            seg.startRange = 0;
            return;
        }
        if (plan.spoilGuesses && j % 2 == 1) {
            seg.startRange = spoiled(seg.startRange, total);
        }
        codeSegment(seg, slots, total);
    };
    for (std::size_t j = 1; j < parts; ++j) {
        // Without a thread, the join below codes this segment itself.
        (void)platform::startThread(workers[j], [&guessAndCode, &segs, j, each] { guessAndCode(segs[j], j, j * each); });
    }

    // Until a segment coded on its guess is joined, the stream is the main
    // encoder's alone: a segment without a right guess simply goes on in
    // it, as on one thread. After that, such a segment is coded again in
    // pieces of its own, from the range where the one before it ended.
    CodedStream stream;
    stream.parts.reset(new (std::nothrow) ByteString[partsAtMost]);
    enc.outOfMemory = enc.outOfMemory || !stream.parts;
    MainRun run;
    run.head = std::max<std::size_t>(plan.head, 1);
    run.spent = stream.parts && spent && spent->data() == symbols && count > run.head ? spent : nullptr;
    run.count = count;
    // Segment j + 1 reads from the start of its window on.
    auto readFrom = [&](std::size_t j) {
        return j + 1 < parts ? (j + 1) * each - std::min(plan.window, (j + 1) * each) : count;
    };
    codeMain(run, enc, stream, symbols, 0, each, readFrom(0), slots, total);
    bool joined = false;      // the main encoder is flushed into the stream
    std::int32_t range = 0;   // once joined, the range at the end of the stream so far
    for (std::size_t j = 1; j < parts && !enc.outOfMemory; ++j) {
        Segment& seg = segs[j];
        const bool ran = workers[j].joinable();
        if (ran) {
            workers[j].join();
        }
        const std::int32_t startRange = joined ? range : enc.range;
        const bool rightGuess = ran && seg.startRange != 0 && seg.startRange / total == startRange / total;
        if (!joined && !rightGuess) {
            seg.pieces.reset();
            codeMain(run, enc, stream, symbols, j * each, j * each + seg.count, readFrom(j), slots, total);
            continue;
        }
        if (!joined) {
            range = enc.range;
            flushMain(run, enc, stream);
            joined = true;
        }
        if (!rightGuess) {
            seg.startRange = range;
            codeSegment(seg, slots, total);
        }
        if (seg.outOfMemory) {
            enc.outOfMemory = true;
        } else {
            appendSegment(stream, seg);
        }
        range = seg.endRange;
    }
    if (!joined && !enc.outOfMemory) {
        flushMain(run, enc, stream);
    }
    for (std::size_t j = 1; j < parts; ++j) {
        if (workers[j].joinable()) {
            workers[j].join();
        }
    }
    enc.room = 0;
    enc.pos = 0;
    return stream;
}

} // namespace vemk::rc
