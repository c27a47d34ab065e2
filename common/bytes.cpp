#include "common/bytes.h"

#include <sys/mman.h>

namespace vemk {

namespace {

// Buffers this large are faulted in as huge pages where the kernel allows:
// one fault per 2 MiB instead of one per 4 KiB, which matters more than the
// coding itself for inputs of many megabytes.
constexpr std::size_t hugePage = std::size_t{2} << 20;

void adviseHugePages(void* p, std::size_t capacity) {
#ifdef MADV_HUGEPAGE
    if (capacity < 2 * hugePage) {
        return;
    }
    auto start = reinterpret_cast<std::uintptr_t>(p);
    std::uintptr_t first = (start + hugePage - 1) & ~(hugePage - 1);
    std::uintptr_t end = (start + capacity) & ~(hugePage - 1);
    if (end > first) {
        // Only advice: the buffer works the same without it.
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#else
    (void)p;
    (void)capacity;
#endif
}

} // namespace

ByteString allocateBytes(std::size_t capacity) {
    ByteString s;
    // malloc(0) may return null; one byte keeps "null means failure" true.
    void* p = std::malloc(capacity == 0 ? 1 : capacity);
    if (p != nullptr) {
        adviseHugePages(p, capacity);
    }
    s.bytes.reset(static_cast<std::uint8_t*>(p));
    return s;
}

bool growBytes(ByteString& s, std::size_t capacity) {
    void* p = std::realloc(s.bytes.get(), capacity == 0 ? 1 : capacity);
    if (p == nullptr) {
        return false;
    }
    (void)s.bytes.release();
    s.bytes.reset(static_cast<std::uint8_t*>(p));
    adviseHugePages(p, capacity);
    return true;
}

} // namespace vemk
