// Decoding with one stored table: what the restore in memory, the restore
// of a file and the restore in pieces share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/result.h"
#include "model/model.h"
#include "rc/coder.h"

namespace vemk {

// The coder divides a range of at least 0x10000 by the total: a larger
// total would leave a unit of 0.
inline constexpr std::int32_t maxTotal = 0x10000;

// What decoding with one table needs, made once per stream.
struct TableDecoder {
    std::uint32_t total = 0;
    model::SymbolLookup lookup;
};

// For a table that checkHead has let through.
TableDecoder tableDecoderOf(const model::FrequencyTable& table);

// Decodes up to `count` symbols into `out` with the fast loop; stops early
// at damage (see rc::decodeSymbols) and returns the symbols decoded.
std::size_t decodeSome(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count);

// decodeSome for a stream whose next bytes are not at hand yet (see
// rc::decodeSymbolsAhead).
std::size_t decodeSomeAhead(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count);

// How decoding ended, once every symbol that could be was decoded: ok, or
// the damage it showed.
Result decodingResult(const rc::Decoder& dec, std::size_t decoded, std::size_t count);

} // namespace vemk
