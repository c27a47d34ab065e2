// The C interface (vemk.h): argument checks and conversions only, over the
// same flows that the C++ interface and the command line run, and the
// restore in pieces.
#include "vemk.h"

#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "lib/dstream.h"
#include "lib/flows.h"
#include "lib/head.h"
#include "lib/result.h"
#include "vemk/vemk.h"

namespace vemk {
namespace {

// The two enums name the same outcomes in the same order.
static_assert(VEMK_OK == static_cast<int>(Result::ok));
static_assert(VEMK_CANNOT_OPEN_INPUT == static_cast<int>(Result::cannotOpenInput));
static_assert(VEMK_CANNOT_OPEN_OUTPUT == static_cast<int>(Result::cannotOpenOutput));
static_assert(VEMK_READ_FAILED == static_cast<int>(Result::readFailed));
static_assert(VEMK_INPUT_TOO_LARGE == static_cast<int>(Result::inputTooLarge));
static_assert(VEMK_OUT_OF_MEMORY == static_cast<int>(Result::outOfMemory));
static_assert(VEMK_WRITE_FAILED == static_cast<int>(Result::writeFailed));
static_assert(VEMK_NEGATIVE_LENGTH == static_cast<int>(Result::negativeLength));
static_assert(VEMK_BAD_TABLE == static_cast<int>(Result::badTable));
static_assert(VEMK_TARGET_OUTSIDE_TABLE == static_cast<int>(Result::targetOutsideTable));
static_assert(VEMK_STREAM_CUT_SHORT == static_cast<int>(Result::streamCutShort));
static_assert(VEMK_DESTINATION_TOO_SMALL == static_cast<int>(Result::destinationTooSmall));
static_assert(VEMK_BAD_STREAM_END == static_cast<int>(Result::badStreamEnd));

static_assert(maxInputBytes == 0x7FFFFFFF);

vemk_result toC(Result r) { return static_cast<vemk_result>(r); }

// Runs one call of the interface: no exception unwinds into a C caller.
template <class F>
vemk_result guardedC(F&& call) noexcept {
    return toC(guarded(std::forward<F>(call)));
}

// A source as the flows take it; false when it cannot be read at all.
bool source(const void* src, std::size_t size, std::span<const std::uint8_t>& out) {
    if (src == nullptr && size > 0) {
        return false;
    }
    out = src == nullptr ? std::span<const std::uint8_t>{}
                         : std::span<const std::uint8_t>{static_cast<const std::uint8_t*>(src), size};
    return true;
}

// A destination as the flows take it: no room behind a NULL pointer.
std::span<std::uint8_t> destination(void* dst, std::size_t capacity) {
    return dst == nullptr ? std::span<std::uint8_t>{}
                          : std::span<std::uint8_t>{static_cast<std::uint8_t*>(dst), capacity};
}

void store(std::size_t* where, std::size_t value) {
    if (where != nullptr) {
        *where = value;
    }
}

// A call from a source buffer into a destination buffer: the pointer
// checks, the guard and the size written around `fill(input, room, written)`.
template <class Fill>
vemk_result bufferCall(void* dst, std::size_t capacity, const void* src, std::size_t size, std::size_t* dstSize,
                       Fill&& fill) {
    store(dstSize, 0);
    return guardedC([&] {
        std::span<const std::uint8_t> input;
        if (!source(src, size, input)) {
            return Result::readFailed;
        }
        std::size_t written = 0;
        Result r = fill(input, destination(dst, capacity), written);
        store(dstSize, written);
        return r;
    });
}

} // namespace
} // namespace vemk

// A restore in pieces: its memory is its own record, well under 1 MiB,
// whatever the file.
struct vemk_dstream {
    vemk::DecodeStream stream;
};
static_assert(sizeof(vemk_dstream) < 1 << 20);

extern "C" {

size_t vemk_compress_bound(size_t n) {
    // 520 + 2n, written so that nothing wraps where size_t has 32 bits.
    constexpr size_t fixed = vemk::headBytes + 4;
    if (n > vemk::maxInputBytes || n > (SIZE_MAX - fixed) / 2) {
        return 0;
    }
    return fixed + 2 * n;
}

vemk_result vemk_compress_threads(void* dst, size_t dst_capacity, const void* src, size_t src_size,
                                  size_t* dst_size, unsigned threads) {
    return vemk::bufferCall(dst, dst_capacity, src, src_size, dst_size, [threads](auto input, auto room, auto& written) {
        return vemk::compressInto(input, room, written, threads);
    });
}

vemk_result vemk_compress(void* dst, size_t dst_capacity, const void* src, size_t src_size, size_t* dst_size) {
    return vemk_compress_threads(dst, dst_capacity, src, src_size, dst_size, 1);
}

vemk_result vemk_decompressed_size(const void* src, size_t src_size, size_t* n) {
    vemk::store(n, 0);
    std::span<const std::uint8_t> file;
    if (!vemk::source(src, src_size, file)) {
        return VEMK_READ_FAILED;
    }
    std::int32_t length = vemk::readHead(file).length;
    if (length < 0) {
        return VEMK_NEGATIVE_LENGTH;
    }
    vemk::store(n, static_cast<size_t>(length));
    return VEMK_OK;
}

vemk_result vemk_decompress(void* dst, size_t dst_capacity, const void* src, size_t src_size, size_t* dst_size) {
    return vemk::bufferCall(dst, dst_capacity, src, src_size, dst_size, [](auto file, auto room, auto& written) {
        return vemk::decompressInto(file, room, written);
    });
}

// The C++ interface's calls by name are guarded already.
vemk_result vemk_compress_file(const char* input_name, const char* output_name) {
    return vemk::toC(vemk::compressFile(input_name, output_name));
}

vemk_result vemk_decompress_file(const char* input_name, const char* output_name) {
    return vemk::toC(vemk::decompressFile(input_name, output_name));
}

const char* vemk_message(vemk_result r) {
    int value = static_cast<int>(r);
    if (value < VEMK_OK || value > VEMK_BAD_STREAM_END) {
        return "unknown result";
    }
    return vemk::messageFor(static_cast<vemk::Result>(value));
}

const char* vemk_version(void) { return VEMK_VERSION_STRING; }

vemk_dstream* vemk_dstream_new(void) { return new (std::nothrow) vemk_dstream{}; }

void vemk_dstream_free(vemk_dstream* ds) { delete ds; }

vemk_result vemk_dstream_decode(vemk_dstream* ds, void* dst, size_t dst_capacity, size_t* dst_written,
                                const void* src, size_t src_size, size_t* src_used, int* done) {
    vemk::store(dst_written, 0);
    vemk::store(src_used, 0);
    if (done != nullptr) {
        *done = 0;
    }
    if (ds == nullptr) {
        return VEMK_OUT_OF_MEMORY;
    }
    vemk::DecodeStream& s = ds->stream;
    vemk::StreamPiece piece;
    // Bytes that cannot be read leave the stream without its next bytes.
    if (!vemk::source(src, src_size, piece.in) && !s.done) {
        vemk::failStream(s, vemk::Result::readFailed);
    }
    piece.out = vemk::destination(dst, dst_capacity);
    const vemk::Result r = vemk::decodePiece(s, piece);
    vemk::store(dst_written, piece.written);
    vemk::store(src_used, piece.used);
    if (done != nullptr) {
        *done = s.done ? 1 : 0;
    }
    return vemk::toC(r);
}

vemk_result vemk_dstream_end(vemk_dstream* ds) {
    return ds == nullptr ? VEMK_OUT_OF_MEMORY : vemk::toC(vemk::endStream(ds->stream));
}

} // extern "C"
