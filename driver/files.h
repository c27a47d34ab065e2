// File handling: opening the two files with their sharing rules, reading a
// whole file, writing it out, and emptying an output that failed.
//
// Sharing is made real with advisory locks on regular files: the input is
// held with a shared lock (other readers welcome), the output with an
// exclusive one taken before it is truncated, so `vemk c f f` and two runs
// writing one output at the same time fail instead of destroying data.
// Devices and pipes (/dev/null, a terminal) hold no data to protect and are
// not locked.
#pragma once

#include <cstdint>
#include <span>
#include <sys/types.h>

#include "common/bytes.h"
#include "driver/result.h"

namespace vemk {

struct InputFile {
    int fd = -1;
};

struct OutputFile {
    int fd = -1;
    bool regular = false;       // only a regular file is locked, and emptied after a failure
    const char* name = nullptr; // for emptying it once the descriptor is closed
    dev_t device = 0;           // and for knowing it again by name then
    ino_t inode = 0;
};

// Opens an existing file for reading. False for a missing file, a
// directory, no permission, or a file that a run is writing.
bool openInput(const char* name, InputFile& in);

// Opens (creating it if need be) and truncates the output. False when it
// cannot be opened for writing, is a directory, is the input itself (by any
// name or link), or is locked by another run; it is then left untouched.
bool openOutput(const char* name, const InputFile& in, OutputFile& out);

// The input's length by moving to its end and back: only a hint, -1 when
// the file cannot tell (a pipe).
std::int64_t fileLength(InputFile& in);

// Reads the input to its end whatever kind of file it is, `lengthHint`
// bytes expected. More than `maxBytes` bytes gives inputTooLarge, found
// before anything is read when the hint already says so.
Result readWhole(InputFile& in, std::int64_t lengthHint, std::size_t maxBytes, ByteString& out);

void closeInput(InputFile& in);

// Writes every byte, in order. A reader that has gone away (a closed pipe)
// is a failed write like any other, never a signal that ends the process.
bool writeAll(OutputFile& out, std::span<const std::uint8_t> bytes);

// Closes the output. With `failed`, or when the close itself fails, the
// output is emptied first so that no partial file looks complete; the
// result is then writeFailed.
Result closeOutput(OutputFile& out, bool failed);

} // namespace vemk
