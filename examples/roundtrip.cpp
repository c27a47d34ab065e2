// roundtrip FILE: compresses FILE into FILE.vemk with the vemk library,
// restores it in memory and checks that the bytes come back.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <vemk/vemk.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: roundtrip FILE\n");
        return 2;
    }
    std::string packedName = std::string(argv[1]) + ".vemk";
    if (vemk::Result r = vemk::compressFile(argv[1], packedName.c_str()); r != vemk::Result::ok) {
        std::fprintf(stderr, "%s: %s\n", argv[1], vemk::messageFor(r));
        return 1;
    }
    std::ifstream in(packedName, std::ios::binary), original(argv[1], std::ios::binary);
    std::vector<std::uint8_t> packed{std::istreambuf_iterator<char>(in), {}};
    std::vector<char> bytes{std::istreambuf_iterator<char>(original), {}};
    vemk::Restored restored = vemk::decompressBuffer(packed);
    if (restored.result != vemk::Result::ok || restored.bytes.size != bytes.size() ||
        std::memcmp(restored.bytes.data(), bytes.data(), bytes.size()) != 0) {
        std::fprintf(stderr, "%s: not restored: %s\n", argv[1], vemk::messageFor(restored.result));
        return 1;
    }
    std::printf("%s: %zu bytes -> %zu bytes, restored\n", argv[1], bytes.size(), packed.size());
    return 0;
}
