// How a run ends. Every problem that the flows meet becomes one of these,
// decided in one place by the flow that meets it; `Start` turns it into the
// one message that the run prints.
#pragma once

namespace vemk {

enum class Result {
    ok,
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
};

// The message that `Start` prints for a result other than `ok`.
const char* messageFor(Result r);

} // namespace vemk
