// Compresses a buffer in memory with the vemk library, restores it, and
// then does the same for a file by name.
#include <cstdio>
#include <cstring>
#include <vemk/vemk.h>

int main(int argc, char** argv) {
    const char text[] = "abracadabra, abracadabra, abracadabra";
    std::span<const std::uint8_t> input(reinterpret_cast<const std::uint8_t*>(text), sizeof text - 1);

    vemk::Packed packed = vemk::compressBuffer(input);
    if (packed.result != vemk::Result::ok) {
        std::printf("compress: %s\n", vemk::messageFor(packed.result));
        return 1;
    }
    vemk::Restored restored = vemk::decompressBuffer(packed.file.view());
    if (restored.result != vemk::Result::ok || restored.bytes.size != input.size() ||
        std::memcmp(restored.bytes.data(), input.data(), input.size()) != 0) {
        std::printf("restore: %s\n", vemk::messageFor(restored.result));
        return 1;
    }
    std::printf("%zu bytes -> %zu bytes -> %zu bytes\n", input.size(), packed.file.size,
                restored.bytes.size);

    if (argc == 4) { // roundtrip FILE COMPRESSED RESTORED
        for (vemk::Result r : {vemk::compressFile(argv[1], argv[2]), vemk::decompressFile(argv[2], argv[3])}) {
            if (r != vemk::Result::ok) {
                std::printf("%s\n", vemk::messageFor(r));
                return 1;
            }
        }
    }
    return 0;
}
