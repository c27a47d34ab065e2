#include "common/bytes.h"

#include <cstdlib>

#include "platform/platform.h"

namespace vemk {

namespace {

// From this size on a buffer is placed for huge pages: whole files, streams
// and outputs fault in one page per 2 MiB instead of one per 4 KiB. Below
// it the allocator's own placement is as good.
constexpr std::size_t largeBuffer = std::size_t{4} << 20;

} // namespace

ByteString allocateBytes(std::size_t capacity) {
    ByteString s;
    // malloc(0) may return null; one byte keeps "null means failure" true.
    void* p = capacity >= largeBuffer ? platform::allocateLarge(capacity) : std::malloc(capacity == 0 ? 1 : capacity);
    s.bytes.reset(static_cast<std::uint8_t*>(p));
    return s;
}

bool resizeBytes(OwnedBytes& bytes, std::size_t capacity) {
    void* p = std::realloc(bytes.get(), capacity == 0 ? 1 : capacity);
    if (p == nullptr) {
        return false;
    }
    (void)bytes.release();
    bytes.reset(static_cast<std::uint8_t*>(p));
    platform::adviseHugePages(p, capacity);
    return true;
}

} // namespace vemk
