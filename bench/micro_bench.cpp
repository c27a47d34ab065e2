// Microbenchmarks of the coding loops, in bytes of uncompressed data per
// second: counting, the encode loop, the decode loop and the symbol search.
//
// The text-like input is the Canterbury corpus read whole (every file but
// its README and checksums, in name order); without the corpus it is seeded
// skewed data. Encoding and decoding also run on random bytes, the worst
// case for the linear symbol search, and on one value repeated, the best.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/flows.h"
#include "model/model.h"

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

using Source = const Input& (*)();

void countBytes(benchmark::State& state, Source source) {
    const Input& in = source();
    for (auto _ : state) {
        vemk::model::FrequencyTable counts = vemk::model::countBytes(in.bytes);
        benchmark::DoNotOptimize(counts);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.bytes.size()));
    state.SetLabel(in.label);
}

void encode(benchmark::State& state, Source source) {
    const Input& in = source();
    for (auto _ : state) {
        vemk::Compressed c = vemk::compressBytes(in.bytes);
        if (c.result != vemk::Result::ok) {
            state.SkipWithError("compressBytes failed");
            break;
        }
        benchmark::DoNotOptimize(c.stream.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.bytes.size()));
    state.SetLabel(in.label);
}

void decode(benchmark::State& state, Source source) {
    const Input& in = source();
    vemk::Compressed c = vemk::compressBytes(in.bytes);
    if (c.result != vemk::Result::ok) {
        state.SkipWithError("compressBytes failed");
        return;
    }
    auto length = static_cast<std::int32_t>(in.bytes.size());
    for (auto _ : state) {
        vemk::Restored r = vemk::decompressBytes(c.stream.view(), c.freq, length);
        if (r.result != vemk::Result::ok) {
            state.SkipWithError("decompressBytes failed");
            break;
        }
        benchmark::DoNotOptimize(r.bytes.data());
    }
    // Checked once, outside the timed loop: a fast wrong decoder is no result.
    vemk::Restored r = vemk::decompressBytes(c.stream.view(), c.freq, length);
    if (r.result != vemk::Result::ok || r.bytes.size != in.bytes.size() ||
        !std::equal(in.bytes.begin(), in.bytes.end(), r.bytes.data())) {
        state.SkipWithError("decoded bytes differ from the input");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(in.bytes.size()));
    state.SetLabel(in.label);
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
            vemk::model::Slot slot = fast ? vemk::model::findSymbolFast(static_cast<std::uint32_t>(t),
                                                                      static_cast<std::uint32_t>(t) >> vemk::model::SymbolLookup::bucketBits,
                                                                      lookup, freq)
                                          : vemk::model::findSymbol(t, freq);
            benchmark::DoNotOptimize(slot);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(targets.size()));
    state.SetLabel(in.label);
}

void findSymbol(benchmark::State& state, Source source) { searchSymbols<false>(state, source); }
void findSymbolFast(benchmark::State& state, Source source) { searchSymbols<true>(state, source); }

} // namespace

BENCHMARK_CAPTURE(countBytes, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, random, randomBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encode, oneValue, repeatedByte)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode, random, randomBytes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode, oneValue, repeatedByte)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(findSymbol, corpus, corpus)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(findSymbolFast, corpus, corpus)->Unit(benchmark::kMillisecond);
