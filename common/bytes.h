// Byte strings: whole files, coded streams and outputs, held in memory.
//
// Buffers are allocated without being zero-filled: a page that is never
// written is never faulted in, so a buffer sized for the worst case costs
// only what is really used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vemk/vemk.h"

namespace vemk {

// A buffer without a count of its own, for records that keep the count
// beside it (the encoder's position).
using OwnedBytes = std::unique_ptr<std::uint8_t[], FreeBytes>;

// Room for `capacity` bytes, uninitialised, with `size` 0. On failure
// `bytes` is null; the caller decides what that means.
ByteString allocateBytes(std::size_t capacity);

// Gives `bytes` room for exactly `capacity` bytes, larger or smaller,
// keeping the contents that fit. False when the memory cannot be had;
// `bytes` is then unchanged.
bool resizeBytes(OwnedBytes& bytes, std::size_t capacity);

} // namespace vemk
