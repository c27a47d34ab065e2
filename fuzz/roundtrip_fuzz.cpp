// Any input compresses, and the compressed file restores it byte for byte.
// Compression depends on nothing but the input, so doing it twice gives
// the same file; and the stored table is one that the decoder can use.
#include <cstdint>
#include <cstring>
#include <span>

#include "lib/flows.h"
#include "lib/head.h"
#include "fuzz/check.h"
#include "model/model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    vemk::Packed packed = vemk::compressBuffer(input);
    FUZZ_CHECK(packed.result == vemk::Result::ok);
    std::span<const std::uint8_t> file = packed.file.view();
    FUZZ_CHECK(file.size() >= vemk::headBytes + 4);
    FUZZ_CHECK(file[vemk::headBytes] == 0); // the coded stream opens with 0x00

    vemk::HeadFields head = vemk::readHead(file);
    FUZZ_CHECK(head.length == static_cast<std::int32_t>(size));
    vemk::model::FrequencyTable counts = vemk::model::countBytes(input);
    for (std::size_t v = 0; v < 256; ++v) {
        FUZZ_CHECK((head.table[v] == 0) == (counts[v] == 0));
    }
    FUZZ_CHECK(vemk::model::tableTotal(head.table) < 0x10000);

    vemk::Restored restored = vemk::decompressBuffer(file);
    FUZZ_CHECK(restored.result == vemk::Result::ok);
    FUZZ_CHECK(restored.bytes.size == size);
    FUZZ_CHECK(size == 0 || std::memcmp(restored.bytes.data(), data, size) == 0);

    vemk::Packed again = vemk::compressBuffer(input);
    FUZZ_CHECK(again.result == vemk::Result::ok);
    FUZZ_CHECK(again.file.size == file.size());
    FUZZ_CHECK(std::memcmp(again.file.data(), file.data(), file.size()) == 0);
    return 0;
}
