// Every allocation of a library call fails in turn, once and then for good:
// each call still gives its exact result or outOfMemory, never an abort, and
// a file call that fails leaves its output empty. The allocator is this
// program's own, put in front of the C library's (glibc), so that the C++
// runtime's allocations (a thread's state among them) fail as well.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "lib/flows.h"
#include "lib/result.h"
#include "vemk.h"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<long> seen{0};
long failFrom = -1; // the first allocation that fails; -1 for none
bool forGood = false;

// Counts the allocation and tells whether it fails.
bool fails() {
    if (!armed.load(std::memory_order_relaxed)) {
        return false;
    }
    long k = seen.fetch_add(1, std::memory_order_relaxed);
    return failFrom >= 0 && (forGood ? k >= failFrom : k == failFrom);
}

} // namespace

extern "C" {
void* malloc(std::size_t n) { return fails() ? nullptr : __libc_malloc(n); }
void* calloc(std::size_t n, std::size_t size) { return fails() ? nullptr : __libc_calloc(n, size); }
void* realloc(void* p, std::size_t n) { return fails() ? nullptr : __libc_realloc(p, n); }
void free(void* p) { __libc_free(p); }
void* memalign(std::size_t align, std::size_t n) { return fails() ? nullptr : __libc_memalign(align, n); }
void* aligned_alloc(std::size_t align, std::size_t n) { return memalign(align, n); }
int posix_memalign(void** p, std::size_t align, std::size_t n) {
    void* q = memalign(align, n);
    if (q == nullptr) {
        return 12; // ENOMEM
    }
    *p = q;
    return 0;
}
}

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Seeded bytes, the same every run: `skew` of every 8 are 'a', the rest
// random. Skewed, the segments coded on a second thread start from a right
// guess; random, the stream is long enough to be read ahead.
Bytes bytes(std::size_t n, std::uint32_t skew) {
    Bytes out(n);
    std::uint32_t x = 2463534242u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x % 8 < skew ? 'a' : x >> 24);
    }
    return out;
}

Bytes fileBytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void putFile(const fs::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A call: its result, and whether its output is exact (or, after
// outOfMemory, empty or never made).
struct Call {
    const char* name;
    std::function<vemk_result()> run;
    std::function<bool(vemk_result)> check;
};

int failures = 0;
std::function<void()> prepare = [] {};

// Runs `call` with allocation `k` failing (once, or from then on).
void runFailing(const Call& call, long k, bool always) {
    prepare();
    failFrom = k;
    forGood = always;
    seen = 0;
    armed = true;
    vemk_result r = call.run();
    armed = false;
    if ((r != VEMK_OK && r != VEMK_OUT_OF_MEMORY) || !call.check(r)) {
        std::fprintf(stderr, "%s: allocation %ld failing %s gave %d (%s)\n", call.name, k,
                     always ? "for good" : "once", static_cast<int>(r), vemk_message(r));
        ++failures;
    }
}

void sweep(const Call& call) {
    prepare();
    failFrom = -1;
    seen = 0;
    armed = true;
    vemk_result clean = call.run();
    armed = false;
    const long count = seen.load();
    if (clean != VEMK_OK || !call.check(clean)) {
        std::fprintf(stderr, "%s: fails with no allocation failing\n", call.name);
        ++failures;
        return;
    }
    // Threads may allocate in another order from run to run: one more.
    for (long k = 0; k <= count; ++k) {
        runFailing(call, k, false);
        runFailing(call, k, true);
    }
    std::printf("%s: %ld allocations, each failed once and for good\n", call.name, count);
}

} // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("vemk-sweep-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // Large enough for two segments and counting while reading (skewed, so
    // that the second segment starts from a right guess), and for reading
    // ahead (random, so that the stream is as long as its input).
    const Bytes skewed = bytes((std::size_t{8} << 20) + 321, 6);
    const Bytes random = bytes((std::size_t{8} << 20) + 321, 0);
    const Bytes small = bytes(5000, 6);
    auto packedOf = [](const Bytes& b) {
        vemk::Packed p = vemk::compressBuffer(b, 1);
        return Bytes(p.file.data(), p.file.data() + p.file.size);
    };
    const Bytes skewedFile = packedOf(skewed), randomFile = packedOf(random), smallFile = packedOf(small);
    putFile(dir / "skewed", skewed);
    putFile(dir / "random.vemk", randomFile);
    const std::string in = (dir / "skewed").string(), packed = (dir / "random.vemk").string(),
                      out = (dir / "out").string();

    Bytes dst(vemk_compress_bound(random.size()));
    std::size_t dstSize = 0;
    auto inBuffer = [&](const Bytes& want) {
        return [&dst, &dstSize, &want](vemk_result r) {
            return r != VEMK_OK || (dstSize == want.size() && std::memcmp(dst.data(), want.data(), want.size()) == 0);
        };
    };
    auto inFile = [&out](const Bytes& want) {
        return [&out, &want](vemk_result r) { return fileBytes(out) == (r == VEMK_OK ? want : Bytes{}); };
    };
    // Each run starts with no output, so that one never made reads as empty.
    prepare = [&out] { fs::remove(out); };
    // The command line's compression, on two threads as on two cores.
    auto commandLine = [&in, &out] {
        return static_cast<vemk_result>(vemk::guarded([&] {
            vemk::platform::InputFile i;
            vemk::platform::OutputFile o;
            if (!vemk::platform::openInput(in.c_str(), i) || !vemk::platform::openOutput(out.c_str(), i, o)) {
                return vemk::Result::cannotOpenInput;
            }
            return vemk::compressFile(i, o, 2);
        }));
    };
    const Call calls[] = {
        {"vemk_compress_threads, 2 threads",
         [&] { return vemk_compress_threads(dst.data(), dst.size(), skewed.data(), skewed.size(), &dstSize, 2); },
         inBuffer(skewedFile)},
        {"vemk_compress", [&] { return vemk_compress(dst.data(), dst.size(), small.data(), small.size(), &dstSize); },
         inBuffer(smallFile)},
        {"vemk_decompress",
         [&] { return vemk_decompress(dst.data(), dst.size(), randomFile.data(), randomFile.size(), &dstSize); },
         inBuffer(random)},
        {"vemk_compress_file", [&] { return vemk_compress_file(in.c_str(), out.c_str()); }, inFile(skewedFile)},
        {"vemk_decompress_file (reading ahead)", [&] { return vemk_decompress_file(packed.c_str(), out.c_str()); },
         inFile(random)},
        {"mode c, 2 threads", commandLine, inFile(skewedFile)},
    };
    for (const Call& call : calls) {
        sweep(call);
    }
    fs::remove_all(dir);
    if (failures > 0) {
        std::fprintf(stderr, "%d failing allocations were not survived\n", failures);
        return 1;
    }
    std::printf("allocation failures: all survived\n");
    return 0;
}
