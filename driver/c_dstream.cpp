// The C interface of restoring as a stream (vemk.h): argument checks and
// conversions over DecodeStream.
#include <new>

#include "driver/dstream.h"
#include "vemk.h"

struct vemk_dstream {
    vemk::DecodeStream stream;
};

// The promise of vemk.h: a stream's memory is its own record, well under
// 1 MiB, whatever the file.
static_assert(sizeof(vemk_dstream) < 1 << 20);

namespace {

void store(std::size_t* where, std::size_t value) {
    if (where != nullptr) {
        *where = value;
    }
}

} // namespace

extern "C" {

vemk_dstream* vemk_dstream_new(void) { return new (std::nothrow) vemk_dstream{}; }

void vemk_dstream_free(vemk_dstream* ds) { delete ds; }

vemk_result vemk_dstream_decode(vemk_dstream* ds, void* dst, size_t dst_capacity, size_t* dst_written,
                                const void* src, size_t src_size, size_t* src_used, int* done) {
    store(dst_written, 0);
    store(src_used, 0);
    if (done != nullptr) {
        *done = 0;
    }
    if (ds == nullptr) {
        return VEMK_OUT_OF_MEMORY;
    }
    vemk::DecodeStream& s = ds->stream;
    vemk::StreamPiece piece;
    if (src == nullptr && src_size > 0) {
        // Bytes that cannot be read leave the stream without its next bytes.
        if (!s.done) {
            vemk::failStream(s, vemk::Result::readFailed);
        }
    } else if (src != nullptr) {
        piece.in = {static_cast<const std::uint8_t*>(src), src_size};
    }
    if (dst != nullptr) {
        piece.out = {static_cast<std::uint8_t*>(dst), dst_capacity};
    }
    const vemk::Result r = vemk::decodePiece(s, piece);
    store(dst_written, piece.written);
    store(src_used, piece.used);
    if (done != nullptr) {
        *done = s.done ? 1 : 0;
    }
    return static_cast<vemk_result>(r);
}

vemk_result vemk_dstream_end(vemk_dstream* ds) {
    if (ds == nullptr) {
        return VEMK_OUT_OF_MEMORY;
    }
    return static_cast<vemk_result>(vemk::endStream(ds->stream));
}

} // extern "C"
