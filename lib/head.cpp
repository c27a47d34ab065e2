#include "lib/head.h"

namespace vemk {

Head writeHead(std::int32_t length, const model::FrequencyTable& table) {
    Head head{};
    auto n = static_cast<std::uint32_t>(length);
    for (std::size_t i = 0; i < lengthBytes; ++i) {
        head[i] = static_cast<std::uint8_t>(n >> (8 * i));
    }
    model::writeFrequencyTable(table, head.data() + lengthBytes);
    return head;
}

HeadFields readHead(std::span<const std::uint8_t> file) {
    HeadFields fields;
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < lengthBytes && i < file.size(); ++i) {
        n |= static_cast<std::uint32_t>(file[i]) << (8 * i);
    }
    fields.length = static_cast<std::int32_t>(n);
    if (file.size() > lengthBytes) {
        fields.table = model::readFrequencyTable(file.subspan(lengthBytes));
    }
    return fields;
}

std::span<const std::uint8_t> codedStream(std::span<const std::uint8_t> file) {
    return file.size() > headBytes ? file.subspan(headBytes) : std::span<const std::uint8_t>{};
}

} // namespace vemk
