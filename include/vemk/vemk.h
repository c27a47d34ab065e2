// vemk: compress and restore whole byte buffers and whole files.
//
// Each buffer or file is coded with one static order-0 model (256 byte
// frequencies scaled below 65536) and a carry-propagating range coder; the
// compressed form is the same file that the `vemk` command writes:
//
//   offset 0    4 bytes    uncompressed length n, signed, little-endian
//   offset 4    512 bytes  frequency of byte values 0..255, 16-bit LE each
//   offset 516  the rest   coded stream
//
// What every function here guarantees:
//  - It never exits the process, never writes to the console and never
//    throws: every failure comes back as a Result, and messageFor() gives
//    the text that the command line prints for it.
//  - Any input at all, however damaged or hostile, is safe to restore: no
//    read outside a buffer, no division by zero, no endless loop. Damage
//    that the format can show is refused (see Result); the format has no
//    checksum, so damage that still forms valid coding intervals restores
//    to wrong bytes without notice.
//  - On success the output is exact: compressing gives the bytes that the
//    format defines for the input, restoring gives back what was
//    compressed, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace vemk {

enum class Result {
    ok,
    // The input file cannot be opened for reading (missing, no permission,
    // a directory, or being written by another run).
    cannotOpenInput,
    // The output file cannot be opened for writing (no permission, a
    // directory, the input itself by any name, or being written by another
    // run); it is left as it was.
    cannotOpenOutput,
    // The input could not be read to its end (an I/O error part-way).
    readFailed,
    // The input holds 2^31 bytes or more: the length field cannot say so.
    inputTooLarge,
    // Memory for the input, the coded stream or the output cannot be had.
    outOfMemory,
    // Writing or closing the output failed; it has been emptied.
    writeFailed,
    // Damaged head: the uncompressed length is below 0.
    negativeLength,
    // Damaged head: the frequencies of a non-empty file sum to 0 or to more
    // than 65536, so no coding interval can be rebuilt from them (or, from
    // a caller in memory, an entry that no file could hold).
    badTable,
    // Damaged stream: a decoded target lies outside the table's total.
    targetOutsideTable,
    // The coded stream ends before its last symbol: the file was cut short.
    streamCutShort,
    // A destination in the caller's memory is smaller than the output (only
    // from the C interface, vemk.h, which writes into the caller's buffers).
    destinationTooSmall,
    // Damaged stream: after the last symbol the coded value is not the low
    // end of the coding interval, where every stream the encoder writes ends.
    badStreamEnd,
};

// The message that the command line prints for `r` ("" for ok).
const char* messageFor(Result r);

struct FreeBytes {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};

// A byte buffer owned by the caller once returned.
struct ByteString {
    std::unique_ptr<std::uint8_t[], FreeBytes> bytes;
    std::size_t size = 0; // bytes in use, from the start of `bytes`

    std::uint8_t* data() { return bytes.get(); }
    const std::uint8_t* data() const { return bytes.get(); }
    std::span<const std::uint8_t> view() const { return {bytes.get(), size}; }
};

// The longest input that the length field can describe: 2^31 - 1 bytes.
inline constexpr std::size_t maxInputBytes = 0x7FFFFFFF;

struct Packed {
    Result result = Result::ok;
    ByteString file; // the whole compressed file when result is ok
};

struct Restored {
    Result result = Result::ok;
    ByteString bytes; // exactly the announced number of bytes when result is ok
};

// Compresses `input` (at most maxInputBytes) into a whole compressed file,
// on up to `threads` threads where the input is large enough to gain from
// them; the file is the same for every number of threads.
// Fails only with inputTooLarge or outOfMemory.
Packed compressBuffer(std::span<const std::uint8_t> input, unsigned threads = 1);

// Restores the bytes of a whole compressed file held in `file`. Bytes after
// the coded stream are ignored; a file shorter than its head reads as if
// padded with zeros (an empty buffer restores to nothing).
Restored decompressBuffer(std::span<const std::uint8_t> file);

// The same for files by name, with the command line's rules: the input is
// read to its end whatever kind of file it is, the output is created or
// truncated, sharing is refused through advisory locks, and on any failure
// after the output was opened it is left empty. A null name is refused as
// the file that cannot be opened (cannotOpenInput, cannotOpenOutput).
Result compressFile(const char* inputName, const char* outputName);
Result decompressFile(const char* inputName, const char* outputName);

} // namespace vemk
