// Decoding with one table, as the flows run it, for every restore that
// decodes: whole buffers, files and the stream that takes its input in
// pieces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/result.h"
#include "model/model.h"
#include "rc/rc.h"

namespace vemk {

// The coder divides a range of at least 0x10000 by the total: a larger
// total would leave a unit of 0.
inline constexpr std::int32_t maxTotal = 0x10000;

// What decoding with one table needs, made once per stream.
struct TableDecoder {
    std::uint32_t total = 0;
    model::SymbolLookup lookup;
};

TableDecoder tableDecoderOf(const model::FrequencyTable& table);

// rc::decodeSymbols with the table's lookup.
std::size_t decodeSome(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count);

// rc::decodeSymbolsAhead with the table's lookup: for a stream whose next
// bytes are not at hand yet.
std::size_t decodeSomeAhead(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count);

// How decoding ended, once every symbol that could be was decoded.
Result decodingResult(const rc::Decoder& dec, std::size_t decoded, std::size_t count);

} // namespace vemk
