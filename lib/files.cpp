#include "lib/files.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace vemk {

namespace {

// Grown by this much at least while a file of unknown length is read.
constexpr std::size_t firstRoom = std::size_t{1} << 16;

// Inputs expected to be at least this long are counted while they are read;
// for shorter ones a thread costs more than it saves.
constexpr std::size_t overlapFrom = std::size_t{8} << 20;

// While the counting thread follows, the input is read in blocks of this
// size, so that there is always a block to count.
constexpr std::size_t block = std::size_t{1} << 20;

// The room of the first buffer: one byte beyond the hint lets the end of
// the file show without a second buffer; the file may still turn out
// longer or shorter. Sizes are compared before they are added, so that
// nothing wraps where size_t has 32 bits.
std::size_t firstRoomFor(std::int64_t lengthHint, std::size_t limit) {
    if (lengthHint < 0) {
        return std::min(limit, firstRoom);
    }
    auto hint = static_cast<std::uint64_t>(lengthHint);
    return hint < limit ? static_cast<std::size_t>(hint) + 1 : limit;
}

// Reads on into `out` (room for `room` bytes) until the end of the file or
// `limit` bytes, growing it as needed; with `ready`, only until the room is
// full, in blocks, publishing after each one how many bytes are in.
Result readOn(InputFile& in, std::size_t limit, ByteString& out, std::size_t room, bool& ended,
              std::atomic<std::size_t>* ready) {
    ended = false;
    while (out.size < limit) {
        if (out.size == room) {
            if (ready != nullptr) {
                return Result::ok;
            }
            std::size_t grown = std::max(room <= limit / 2 ? 2 * room : limit, std::min(limit, firstRoom));
            if (!resizeBytes(out.bytes, grown)) {
                return Result::outOfMemory;
            }
            room = grown;
        }
        std::size_t want = room - out.size;
        std::int64_t got = platform::readSome(in, out.data() + out.size, ready != nullptr ? std::min(want, block) : want);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            return Result::readFailed;
        }
        out.size += static_cast<std::size_t>(got);
        if (ready != nullptr) {
            ready->store(out.size, std::memory_order_release);
        }
    }
    ended = true;
    return Result::ok;
}

// Adds `more` to `counts`, modulo 2^32 as countBytes sums its lanes: only
// an input too large to code could reach that, and it is refused after
// reading.
void addCounts(model::FrequencyTable& counts, const model::FrequencyTable& more) {
    for (std::size_t v = 0; v < 256; ++v) {
        counts[v] = static_cast<std::int32_t>(static_cast<std::uint32_t>(counts[v]) + static_cast<std::uint32_t>(more[v]));
    }
}

void addCounts(model::FrequencyTable& counts, std::span<const std::uint8_t> bytes) {
    addCounts(counts, model::countBytes(bytes));
}

} // namespace

Result readAndCount(InputFile& in, std::int64_t lengthHint, std::size_t limit, ByteString& out,
                    model::FrequencyTable& counts, bool overlap) {
    counts = {};
    const std::size_t room = firstRoomFor(lengthHint, limit);
    if (!overlap || room < overlapFrom) {
        Result r = readUpTo(in, lengthHint, limit, out);
        if (r == Result::ok) {
            counts = model::countBytes(out.view());
        }
        return r;
    }
    out = allocateBytes(room);
    if (!out.bytes) {
        return Result::outOfMemory;
    }
    // The buffer does not move while the counter follows the reader: it
    // counts only bytes published as read, and is done before any growth.
    // Blocks are claimed from a shared cursor, so that once the reading is
    // done this thread counts too, from the same cursor, and the two share
    // what is left. Each thread adds into its own table.
    std::atomic<std::size_t> ready{0};
    std::atomic<std::size_t> claimed{0};
    std::atomic<bool> readingDone{false};
    const std::uint8_t* bytes = out.data();
    // Claims and counts blocks of what has been read, until the reading is
    // done and every byte read is claimed.
    auto countClaimed = [&](model::FrequencyTable& into) {
        for (;;) {
            const bool last = readingDone.load(std::memory_order_acquire);
            const std::size_t have = ready.load(std::memory_order_acquire);
            std::size_t at = claimed.load(std::memory_order_relaxed);
            if (at < have && (have - at >= block || last)) {
                const std::size_t n = std::min(block, have - at);
                if (claimed.compare_exchange_weak(at, at + n, std::memory_order_relaxed)) {
                    addCounts(into, {bytes + at, n});
                }
            } else if (last) {
                return;
            } else {
                std::this_thread::yield();
            }
        }
    };
    model::FrequencyTable followerCounts{};
    std::thread counter;
    // Without a thread, this one counts everything once the reading is done.
    (void)platform::startThread(counter, [&countClaimed, &followerCounts] { countClaimed(followerCounts); });
    bool ended = false;
    Result r = readOn(in, limit, out, room, ended, &ready);
    readingDone.store(true, std::memory_order_release);
    countClaimed(counts);
    if (counter.joinable()) {
        counter.join();
    }
    addCounts(counts, followerCounts);
    if (r == Result::ok && !ended) {
        // A file longer than it said: the rest is read, and counted, here.
        const std::size_t counted = out.size;
        r = readOn(in, limit, out, room, ended, nullptr);
        if (r == Result::ok) {
            addCounts(counts, out.view().subspan(counted));
        }
    }
    return r;
}

Result readUpTo(InputFile& in, std::int64_t lengthHint, std::size_t limit, ByteString& out) {
    const std::size_t room = firstRoomFor(lengthHint, limit);
    out = allocateBytes(room);
    if (!out.bytes) {
        return Result::outOfMemory;
    }
    bool ended = false;
    return readOn(in, limit, out, room, ended, nullptr);
}

void startReadAhead(InputFile& in, std::int64_t lengthHint, std::size_t limit, ReadAhead& ahead) {
    const std::size_t room = firstRoomFor(lengthHint, limit);
    ahead.bytes = allocateBytes(room);
    // Without a thread, the file is read here, into the same buffer.
    if (ahead.bytes.bytes && lengthHint >= 0 && room >= overlapFrom &&
        platform::startThread(ahead.reader, [&in, &ahead, limit, room] {
            ahead.result = readOn(in, limit, ahead.bytes, room, ahead.ended, &ahead.ready);
            ahead.done.store(true, std::memory_order_release);
        })) {
        return;
    }
    ahead.result = ahead.bytes.bytes ? readOn(in, limit, ahead.bytes, room, ahead.ended, nullptr) : Result::outOfMemory;
    ahead.ready.store(ahead.bytes.size, std::memory_order_release);
    ahead.done.store(true, std::memory_order_release);
}

Result finishReadAhead(InputFile& in, std::size_t limit, ReadAhead& ahead) {
    if (ahead.reader.joinable()) {
        ahead.reader.join();
    }
    // Stopped short of the end, the reader had filled its room.
    if (ahead.result == Result::ok && !ahead.ended) {
        ahead.result = readOn(in, limit, ahead.bytes, ahead.bytes.size, ahead.ended, nullptr);
    }
    return ahead.result;
}

Result writeAndClose(OutputFile& out, std::span<const std::uint8_t> first, std::span<const ByteString> rest) {
    bool written = platform::writeAll(out, first);
    for (std::size_t k = 0; k < rest.size() && written; ++k) {
        written = platform::writeAll(out, rest[k].view());
    }
    return platform::closeOutput(out, !written) ? Result::ok : Result::writeFailed;
}

Result abandon(InputFile& in, OutputFile& out, Result why) {
    platform::closeInput(in);
    (void)platform::closeOutput(out, true);
    return why;
}

} // namespace vemk
