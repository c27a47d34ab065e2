// The input is a whole compressed file, possibly damaged, handed to
// decompressBuffer. Damage must be refused with a result, never a crash,
// and a file that restores must give exactly the length it announces. The
// same bytes restored as a stream must give the same result and bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/dstream.h"
#include "driver/flows.h"
#include "driver/layout.h"
#include "fuzz/check.h"

namespace {

// Lengths above this are folded below it: the decoder's behaviour does not
// change with size, and the fuzzer should spend its time on damage, not on
// allocating and filling gigabytes.
constexpr std::int32_t lengthCap = 1 << 20;

// The file restored as a stream, in pieces of input and of room that its
// own bytes choose, drained as a caller drains it.
void checkStream(const std::vector<std::uint8_t>& file, const vemk::Restored& whole, std::int32_t length) {
    auto s = std::make_unique<vemk::DecodeStream>();
    std::vector<std::uint8_t> out(length > 0 ? static_cast<std::size_t>(length) : 0);
    std::size_t pos = 0, written = 0;
    auto pick = [&file](std::size_t k) -> std::size_t { return file.empty() ? 1 : 1 + file[k % file.size()]; };
    vemk::Result r = vemk::Result::ok;
    for (std::size_t k = 0;; k += 2) {
        vemk::StreamPiece p;
        const std::size_t give = std::min(file.size() - pos, pick(k) * pick(k + 1) / 8 + 1);
        const std::size_t room = std::min(out.size() - written, pick(k + 1) * 4);
        p.in = {file.data() + pos, give};
        p.out = {out.data() + written, room};
        r = vemk::decodePiece(*s, p);
        FUZZ_CHECK(p.used <= give && p.written <= room);
        pos += p.used;
        written += p.written;
        if (r != vemk::Result::ok || s->done) {
            break;
        }
        // The input is all taken and nothing waits for room (an empty
        // output never has any).
        if (give == 0 && (room == 0 || p.written < room)) {
            r = vemk::endStream(*s);
            break;
        }
        // Given bytes and room, a stream that goes on takes or writes some.
        FUZZ_CHECK(p.used > 0 || p.written > 0);
    }
    FUZZ_CHECK(r == whole.result);
    if (r == vemk::Result::ok) {
        FUZZ_CHECK(written == whole.bytes.size);
        FUZZ_CHECK(written == 0 || std::memcmp(out.data(), whole.bytes.data(), written) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> file(data, data + size);
    std::int32_t length = vemk::readHead(file).length;
    if (length > lengthCap) {
        length &= lengthCap - 1;
        auto n = static_cast<std::uint32_t>(length);
        for (std::size_t i = 0; i < vemk::lengthBytes && i < file.size(); ++i) {
            file[i] = static_cast<std::uint8_t>(n >> (8 * i));
        }
    }

    vemk::Restored r = vemk::decompressBuffer(file);
    checkStream(file, r, length);
    switch (r.result) {
    case vemk::Result::ok:
        FUZZ_CHECK(length >= 0);
        FUZZ_CHECK(r.bytes.size == static_cast<std::size_t>(length));
        break;
    case vemk::Result::negativeLength:
        FUZZ_CHECK(length < 0);
        break;
    case vemk::Result::badTable:
    case vemk::Result::targetOutsideTable:
    case vemk::Result::streamCutShort:
    case vemk::Result::badStreamEnd:
        // Only a file that announces bytes can be damaged past its length.
        FUZZ_CHECK(length > 0);
        break;
    default:
        // Reading, size and write failures cannot arise from bytes in memory.
        FUZZ_CHECK(false);
    }
    return 0;
}
