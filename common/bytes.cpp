#include "common/bytes.h"

#include "driver/platform.h"

namespace vemk {

ByteString allocateBytes(std::size_t capacity) {
    ByteString s;
    // malloc(0) may return null; one byte keeps "null means failure" true.
    void* p = std::malloc(capacity == 0 ? 1 : capacity);
    if (p != nullptr) {
        platform::adviseHugePages(p, capacity);
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
    platform::adviseHugePages(p, capacity);
    return true;
}

} // namespace vemk
