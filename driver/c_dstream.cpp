// The C interface of restoring as a stream (vemk.h).
#include "vemk.h"

extern "C" {

struct vemk_dstream {
    int unused = 0;
};

vemk_dstream* vemk_dstream_new(void) { return nullptr; }

void vemk_dstream_free(vemk_dstream* ds) { delete ds; }

vemk_result vemk_dstream_decode(vemk_dstream* ds, void* dst, size_t dst_capacity, size_t* dst_written,
                                const void* src, size_t src_size, size_t* src_used, int* done) {
    (void)ds, (void)dst, (void)dst_capacity, (void)src, (void)src_size;
    if (dst_written != nullptr) {
        *dst_written = 0;
    }
    if (src_used != nullptr) {
        *src_used = 0;
    }
    if (done != nullptr) {
        *done = 0;
    }
    return VEMK_OUT_OF_MEMORY;
}

vemk_result vemk_dstream_end(vemk_dstream* ds) {
    (void)ds;
    return VEMK_OUT_OF_MEMORY;
}

} // extern "C"
