// The compressed file: a 516-byte head, then the coded stream.
//
//   offset 0    4 bytes    uncompressed length n, signed, little-endian
//   offset 4    512 bytes  frequency of byte values 0..255, 16-bit LE each
//   offset 516  the rest   coded stream, exactly as the encoder's flush
//                          hands it back
//
// There is no magic number, version or checksum.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "model/model.h"

namespace vemk {

inline constexpr std::size_t lengthBytes = 4;
inline constexpr std::size_t headBytes = lengthBytes + model::tableBytes;

using Head = std::array<std::uint8_t, headBytes>;

struct HeadFields {
    std::int32_t length = 0;
    model::FrequencyTable table{};
};

Head writeHead(std::int32_t length, const model::FrequencyTable& table);

// Reads the head from the start of a compressed file. Bytes missing at its
// end (a file shorter than 516 bytes) count as 0, so an empty file reads as
// length 0 with an all-zero table.
HeadFields readHead(std::span<const std::uint8_t> file);

// The coded stream: everything after the head (empty for a short file).
std::span<const std::uint8_t> codedStream(std::span<const std::uint8_t> file);

} // namespace vemk
