// The input is a whole compressed file, possibly damaged, handed to
// decompressBuffer. Damage must be refused with a result, never a crash,
// and a file that restores must give exactly the length it announces.
#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/flows.h"
#include "lib/head.h"
#include "fuzz/check.h"

namespace {

// Lengths above this are folded below it: the decoder's behaviour does not
// change with size, and the fuzzer should spend its time on damage, not on
// allocating and filling gigabytes.
constexpr std::int32_t lengthCap = 1 << 20;

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
