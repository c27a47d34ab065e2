#include "driver/dstream.h"

#include <algorithm>
#include <cstring>

#include "driver/flows.h"

namespace vemk {

namespace {

std::size_t room(const StreamPiece& p) { return p.out.size() - p.written; }

// Copies up to `most` bytes of the piece's input to `to`; how many.
std::size_t take(StreamPiece& p, std::uint8_t* to, std::size_t most) {
    const std::size_t n = std::min(most, p.in.size() - p.used);
    if (n > 0) {
        std::memcpy(to, p.in.data() + p.used, n);
    }
    p.used += n;
    return n;
}

// The head as far as it has come. Damage that no later byte can undo is
// refused at once: a negative length, or a non-empty file whose table
// already sums past the total the coder can divide by. The rest waits for
// the whole head, or for the end of the input, which pads it with zeros.
void acceptHead(DecodeStream& s, bool whole) {
    const HeadFields fields = readHead({s.head.data(), s.headTaken});
    const Result r = checkHead(fields.table, fields.length);
    if (!whole) {
        const bool certain = fields.length < 0 || model::tableTotal(fields.table) > maxTotal;
        if (s.headTaken >= lengthBytes && r != Result::ok && certain) {
            failStream(s, r);
        }
        return;
    }
    if (r != Result::ok) {
        failStream(s, r);
        return;
    }
    s.count = static_cast<std::size_t>(fields.length);
    s.done = s.count == 0;
    if (!s.done) {
        s.table = tableDecoderOf(fields.table);
    }
}

void takeHead(DecodeStream& s, StreamPiece& p) {
    s.headTaken += take(p, s.head.data() + s.headTaken, headBytes - s.headTaken);
    acceptHead(s, s.headTaken == headBytes);
}

// The decoder starts once the first four bytes of the stream are there.
void takeStart(DecodeStream& s, StreamPiece& p) {
    s.heldCount += take(p, s.held.data() + s.heldCount, s.held.size() - s.heldCount);
    if (s.heldCount == s.held.size()) {
        s.dec = rc::newDecoder(s.held);
        s.started = true;
        s.heldCount = 0;
    }
}

// The last bytes at hand, which the fast decoder sees followed by the zeros
// of a stream cut short. A symbol that needed one of those zeros waits for
// the next piece: the symbols before it are decoded again without it.
std::size_t decodeLast(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count,
                       bool& refused) {
    rc::Decoder trial = dec;
    std::size_t got = decodeSome(trial, t, out, count);
    if (rc::ranPastEnd(trial)) {
        trial = dec;
        got = decodeSome(trial, t, out, got - 1);
    } else {
        refused = got < count;
    }
    dec = trial;
    return got;
}

// Decodes from `bytes`, the stream from the decoder's next load on, as far
// as the room, the symbols left and the bytes allow; `more` says that more
// of the piece follows them, so the last few are left to be decoded there.
// Decides the end and any damage met; returns the bytes loaded.
std::size_t decodeFrom(DecodeStream& s, std::span<const std::uint8_t> bytes, bool more, StreamPiece& p) {
    rc::Decoder& dec = s.dec;
    dec.buffer = bytes.data();
    dec.size = bytes.size();
    dec.pos = 0;
    std::uint8_t* out = p.out.data() + p.written;
    const std::size_t want = std::min(s.count - s.decoded, room(p));
    std::size_t got = decodeSomeAhead(dec, s.table, out, want);
    bool refused = got < want && dec.pos + 4 <= dec.size;
    if (!more && !refused && got < want) {
        got += decodeLast(dec, s.table, out + got, want - got, refused);
    }
    s.decoded += got;
    p.written += got;
    if (refused || s.decoded == s.count) {
        const Result r = decodingResult(dec, s.decoded, s.count);
        s.done = r == Result::ok;
        failStream(s, r);
    }
    return dec.pos;
}

// The bytes held from the last piece, followed by the first of this one:
// enough for the decoder to go on in this piece itself.
void decodeHeld(DecodeStream& s, StreamPiece& p) {
    std::array<std::uint8_t, 16> bridge{};
    const std::size_t h = s.heldCount;
    std::copy(s.held.begin(), s.held.begin() + static_cast<std::ptrdiff_t>(h), bridge.begin());
    const std::size_t left = p.in.size() - p.used;
    const std::size_t m = std::min(left, bridge.size() - h);
    if (m > 0) {
        std::memcpy(bridge.data() + h, p.in.data() + p.used, m);
    }
    const std::size_t loaded = decodeFrom(s, {bridge.data(), h + m}, left > m, p);
    if (loaded >= h) {
        p.used += loaded - h;
        s.heldCount = 0;
    } else {
        std::copy(s.held.begin() + static_cast<std::ptrdiff_t>(loaded),
                  s.held.begin() + static_cast<std::ptrdiff_t>(h), s.held.begin());
        s.heldCount = h - loaded;
    }
}

void decodeInPlace(DecodeStream& s, StreamPiece& p) {
    p.used += decodeFrom(s, p.in.subspan(p.used), false, p);
    if (s.failure == Result::ok && !s.done && room(p) > 0) {
        // Out of bytes: the few left, too few for the next symbol, are kept.
        s.heldCount = take(p, s.held.data(), s.held.size());
    }
}

bool goesOn(const DecodeStream& s) { return s.failure == Result::ok && !s.done; }

} // namespace

Result failStream(DecodeStream& s, Result r) {
    if (s.failure == Result::ok) {
        s.failure = r;
    }
    return s.failure;
}

Result decodePiece(DecodeStream& s, StreamPiece& piece) {
    if (goesOn(s) && s.headTaken < headBytes) {
        takeHead(s, piece);
    }
    if (goesOn(s) && !s.started) {
        takeStart(s, piece);
    }
    if (goesOn(s) && s.started && s.heldCount > 0) {
        decodeHeld(s, piece);
    }
    if (goesOn(s) && s.started && s.heldCount == 0) {
        decodeInPlace(s, piece);
    }
    return s.failure;
}

Result endStream(DecodeStream& s) {
    if (goesOn(s) && s.headTaken < headBytes) {
        acceptHead(s, true);
    }
    if (!goesOn(s)) {
        return s.failure;
    }
    // Decoding goes on as decompressInto's would over the bytes taken, and
    // whatever it restores goes nowhere: the caller has stopped asking.
    rc::Decoder dec = s.dec;
    if (!s.started) {
        dec = rc::newDecoder({s.held.data(), s.heldCount});
    } else {
        dec.buffer = s.held.data();
        dec.size = s.heldCount;
        dec.pos = 0;
    }
    std::array<std::uint8_t, 4096> scratch;
    std::size_t decoded = s.decoded;
    while (decoded < s.count && !rc::ranPastEnd(dec)) {
        const std::size_t want = std::min(scratch.size(), s.count - decoded);
        const std::size_t got = decodeSome(dec, s.table, scratch.data(), want);
        decoded += got;
        if (got < want) {
            break;
        }
    }
    const Result r = decodingResult(dec, decoded, s.count);
    return failStream(s, r == Result::ok ? Result::destinationTooSmall : r);
}

} // namespace vemk
