// Decoding with one stored table: what the restore in memory, the restore
// of a file and the restore in pieces share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/result.h"
#include "model/model.h"
#include "rc/coder.h"

namespace vemk {

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

// How decoding ended, once every symbol that could be was decoded: ok, or
// the damage it showed.
Result decodingResult(const rc::Decoder& dec, std::size_t decoded, std::size_t count);

} // namespace vemk
