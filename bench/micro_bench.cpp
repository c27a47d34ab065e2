// Microbenchmarks of the coding loops, in bytes of uncompressed data per
// second and in cycles per byte: counting, the encode loop, the decode loop
// and the symbol search. Cycles come from the clock and a calibration (a
// chain of dependent multiplies, three cycles each on the x86-64 and ARM
// cores we run on), not from performance counters, which a virtual machine
// may not offer.
//
// The text-like input is the Canterbury corpus read whole (every file but
// its README and checksums, in name order); without the corpus it is seeded
// skewed data. Encoding and decoding also run on random bytes, the worst
// case for the linear symbol search, and on one value repeated, the best.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <thread>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/flows.h"
#include "model/model.h"
#include "rc/fast.h"

#include "splitmix.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t syntheticBytes = std::size_t{1} << 20;

using vemk::bench::splitmix;

struct Input {
    Bytes bytes;
    std::string label;
};

// A few byte values very often, most rarely: roughly the spread of text.
Bytes skewedBytes(std::size_t size, std::uint64_t seed) {
    Bytes out(size);
    for (auto& b : out) {
        std::uint64_t r = splitmix(seed);
        // The count of trailing zero bits is geometric: value v has about
        // twice the weight of v + 1, offset into the printable range.
        int tz = std::countr_zero(r);
        int spread = static_cast<int>((r >> 58) & 0x3);
        b = static_cast<std::uint8_t>(' ' + std::min(tz * 4 + spread, 94));
    }
    return out;
}

Input loadCorpus() {
    namespace fs = std::filesystem;
    Input in;
    std::error_code ec;
    fs::path dir(VEMK_CORPUS_DIR);
    if (fs::is_directory(dir, ec)) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && name != "README.md" && name != "SHA256SUMS") {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            std::ifstream s(f, std::ios::binary);
            in.bytes.insert(in.bytes.end(), std::istreambuf_iterator<char>(s),
                            std::istreambuf_iterator<char>());
        }
        in.label = "corpus, " + std::to_string(files.size()) + " files";
    }
    if (in.bytes.empty()) {
        in.bytes = skewedBytes(4 * syntheticBytes, 0x636F72707573);
        in.label = "no corpus: seeded skewed data";
    }
    return in;
}

const Input& corpus() {
    static const Input in = loadCorpus();
    return in;
}

const Input& randomBytes() {
    static const Input in = [] {
        Input r;
        r.bytes.resize(syntheticBytes);
        std::uint64_t seed = 0x72616E646F6D;
        for (auto& b : r.bytes) {
            b = static_cast<std::uint8_t>(splitmix(seed));
        }
        r.label = "random";
        return r;
    }();
    return in;
}

const Input& repeatedByte() {
    static const Input in{Bytes(syntheticBytes, 'a'), "one value"};
    return in;
}

// The corpus repeated to 50,000,000 bytes, as bench/run.sh times the whole
// program on: large enough for the encoder to use several threads.
const Input& corpusRepeated() {
    static const Input in = [] {
        Input r;
        const Bytes& one = corpus().bytes;
        constexpr std::size_t size = 50000000;
        r.bytes.reserve(size);
        while (r.bytes.size() < size) {
            r.bytes.insert(r.bytes.end(), one.begin(),
                           one.begin() + static_cast<std::ptrdiff_t>(std::min(one.size(), size - r.bytes.size())));
        }
        r.label = "corpus to 50 MB";
        return r;
    }();
    return in;
}

using Source = const Input& (*)();

// Clock cycles per second, from a chain of dependent 64-bit multiplies that
// take three cycles each.
double cyclesPerSecond() {
    static const double rate = [] {
        constexpr std::uint64_t steps = 100000000;
        double best = 0;
        for (int round = 0; round < 3; ++round) {
            std::uint64_t x = 0x9E3779B97F4A7C15U;
            auto start = std::chrono::steady_clock::now();
            for (std::uint64_t i = 0; i < steps; ++i) {
                x *= 0xD1B54A32D192ED03U;
                benchmark::DoNotOptimize(x);
            }
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::max(best, 3.0 * static_cast<double>(steps) / took.count());
        }
        return best;
    }();
    return rate;
}

// Bytes per second and cycles per byte of `bytesPerIteration`.
void reportBytes(benchmark::State& state, std::size_t bytesPerIteration, const std::string& label) {
    const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(bytesPerIteration);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["cycles/B"] =
        benchmark::Counter(bytes / cyclesPerSecond(), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(label);
}

void countBytes(benchmark::State& state, Source source) {
    const Input& in = source();
    for (auto _ : state) {
        vemk::model::FrequencyTable counts = vemk::model::countBytes(in.bytes);
        benchmark::DoNotOptimize(counts);
    }
    reportBytes(state, in.bytes.size(), in.label);
}

// Counting, scaling and coding, as compressBytes does them, on `threads`
// threads (0: as many as the machine has).
void encodeOn(benchmark::State& state, Source source, unsigned threads) {
    const Input& in = source();
    if (threads == 0) {
        threads = std::max(1U, std::thread::hardware_concurrency());
    }
    for (auto _ : state) {
        vemk::Compressed c = vemk::compressBytes(in.bytes, threads);
        if (c.result != vemk::Result::ok) {
            state.SkipWithError("compressBytes failed");
            break;
        }
        benchmark::DoNotOptimize(c.stream.parts.get());
    }
    reportBytes(state, in.bytes.size(), in.label + ", " + std::to_string(threads) + " thread(s)");
}

void encode(benchmark::State& state, Source source) { encodeOn(state, source, 1); }

// The coding loop alone, on one thread: encodeSymbols and the flush.
void encodeSymbols(benchmark::State& state, Source source) {
    const Input& in = source();
    vemk::model::FrequencyTable freq = vemk::model::normstat(vemk::model::countBytes(in.bytes));
    vemk::model::CumulativeTable cum = vemk::model::cumulativeTable(freq);
    std::array<vemk::rc::SymbolSlot, 256> slots{};
    for (std::size_t v = 0; v < 256; ++v) {
        slots[v] = {static_cast<std::uint32_t>(cum[v]), static_cast<std::uint32_t>(freq[v])};
    }
    const std::int32_t total = vemk::model::tableTotal(freq);
    for (auto _ : state) {
        vemk::rc::Encoder enc = vemk::rc::newEncoder(in.bytes.size());
        vemk::rc::encodeSymbols(enc, in.bytes.data(), in.bytes.size(), slots.data(), total);
        vemk::ByteString stream = vemk::rc::flushEncoder(enc);
        benchmark::DoNotOptimize(stream.data());
    }
    reportBytes(state, in.bytes.size(), in.label);
}

void decode(benchmark::State& state, Source source) {
    const Input& in = source();
    vemk::Compressed c = vemk::compressBytes(in.bytes); // one thread: one part
    if (c.result != vemk::Result::ok) {
        state.SkipWithError("compressBytes failed");
        return;
    }
    auto length = static_cast<std::int32_t>(in.bytes.size());
    for (auto _ : state) {
        vemk::Restored r = vemk::decompressBytes(c.stream.parts[0].view(), c.freq, length);
        if (r.result != vemk::Result::ok) {
            state.SkipWithError("decompressBytes failed");
            break;
        }
        benchmark::DoNotOptimize(r.bytes.data());
    }
    // Checked once, outside the timed loop: a fast wrong decoder is no result.
    vemk::Restored r = vemk::decompressBytes(c.stream.parts[0].view(), c.freq, length);
    if (r.result != vemk::Result::ok || r.bytes.size != in.bytes.size() ||
        !std::equal(in.bytes.begin(), in.bytes.end(), r.bytes.data())) {
        state.SkipWithError("decoded bytes differ from the input");
    }
    reportBytes(state, in.bytes.size(), in.label);
}

// The targets that decoding the input would search for: one per byte, at a
// seeded point inside that byte's slot, so the mix of shallow and deep
// searches is the input's own. One symbol counts as one byte. The plain
// scan and the lookup that the decoder uses.
template <bool fast>
void searchSymbols(benchmark::State& state, Source source) {
    const Input& in = source();
    vemk::model::FrequencyTable freq = vemk::model::normstat(vemk::model::countBytes(in.bytes));
    vemk::model::CumulativeTable cum = vemk::model::cumulativeTable(freq);
    std::vector<std::int32_t> targets;
    targets.reserve(in.bytes.size());
    std::uint64_t seed = 0x736561726368;
    for (std::uint8_t b : in.bytes) {
        auto within = static_cast<std::int32_t>(splitmix(seed) % static_cast<std::uint64_t>(freq[b]));
        targets.push_back(cum[b] + within);
    }
    const vemk::model::SymbolLookup lookup = vemk::model::symbolLookup(freq);
    for (auto _ : state) {
        for (std::int32_t t : targets) {
            if constexpr (fast) {
                vemk::rc::PackedSlot slot = vemk::model::findSymbolFast(
                    static_cast<std::uint32_t>(t), static_cast<std::uint32_t>(t) >> vemk::model::SymbolLookup::bucketBits,
                    lookup);
                benchmark::DoNotOptimize(slot);
            } else {
                vemk::model::Slot slot = vemk::model::findSymbol(t, freq);
                benchmark::DoNotOptimize(slot);
            }
        }
    }
    reportBytes(state, targets.size(), in.label);
}

void findSymbol(benchmark::State& state, Source source) { searchSymbols<false>(state, source); }
void findSymbolFast(benchmark::State& state, Source source) { searchSymbols<true>(state, source); }

} // namespace

BENCHMARK_CAPTURE(countBytes, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, random, randomBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, oneValue, repeatedByte)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, corpus50m, corpusRepeated)->Unit(benchmark::kMillisecond);
// Wall time: the threads' work is the point.
BENCHMARK_CAPTURE(encodeOn, corpus50mAllThreads, corpusRepeated, 0U)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(encodeSymbols, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode, random, randomBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode, oneValue, repeatedByte)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(findSymbol, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(findSymbolFast, corpus, corpus)->Unit(benchmark::kMillisecond);
