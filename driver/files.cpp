#include "driver/files.h"

#include <algorithm>

namespace vemk {

namespace {

// Grown by this much at least while a file of unknown length is read.
constexpr std::size_t firstRoom = std::size_t{1} << 16;

} // namespace

Result readUpTo(InputFile& in, std::int64_t lengthHint, std::size_t limit, ByteString& out) {
    // One byte beyond the hint lets the end of the file show without a
    // second buffer; the file may still turn out longer or shorter. Sizes
    // are compared before they are added, so that nothing wraps where
    // size_t has 32 bits.
    std::size_t room = std::min(limit, firstRoom);
    if (lengthHint >= 0) {
        auto hint = static_cast<std::uint64_t>(lengthHint);
        room = hint < limit ? static_cast<std::size_t>(hint) + 1 : limit;
    }
    out = allocateBytes(room);
    if (!out.bytes) {
        return Result::outOfMemory;
    }
    while (out.size < limit) {
        if (out.size == room) {
            std::size_t grown = std::max(room <= limit / 2 ? 2 * room : limit, std::min(limit, firstRoom));
            if (!growBytes(out, grown)) {
                return Result::outOfMemory;
            }
            room = grown;
        }
        std::int64_t got = platform::readSome(in, out.data() + out.size, room - out.size);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            return Result::readFailed;
        }
        out.size += static_cast<std::size_t>(got);
    }
    return Result::ok;
}

Result writeAndClose(OutputFile& out, std::span<const std::uint8_t> first,
                     std::span<const std::uint8_t> second) {
    bool written = platform::writeAll(out, first) && platform::writeAll(out, second);
    return platform::closeOutput(out, !written) ? Result::ok : Result::writeFailed;
}

Result abandon(InputFile& in, OutputFile& out, Result why) {
    platform::closeInput(in);
    (void)platform::closeOutput(out, true);
    return why;
}

} // namespace vemk
