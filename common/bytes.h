// Byte strings: whole files, coded streams and outputs, held in memory.
//
// Buffers are allocated without being zero-filled: a page that is never
// written is never faulted in, so a buffer sized for the worst case costs
// only what is really used.
#pragma once

#include <cstddef>

#include "vemk/vemk.h"

namespace vemk {

// Room for `capacity` bytes, uninitialised, with `size` 0. On failure
// `bytes` is null; the caller decides what that means.
ByteString allocateBytes(std::size_t capacity);

// Grows `s` to room for `capacity` bytes, keeping its contents. False when
// the memory cannot be had; `s` is then unchanged.
bool growBytes(ByteString& s, std::size_t capacity);

} // namespace vemk
