// What vemk needs from the operating system, in one small interface: the
// two files with their sharing rules, raw reads and writes, the console's
// messages and its wait for a key, and the few process-wide settings of the
// command line. One implementation per platform: platform/posix.cpp and
// platform/windows.cpp. Nothing outside them names a system call.
//
// Files are raw bytes everywhere: no line-end or character translation.
// File names are UTF-8 on every platform (on Windows, the exact UTF-16 name
// of the command line survives the trip through it, unpaired surrogates
// included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vemk::platform {

// An open file as the system knows it: a descriptor or a handle.
using Handle = std::intptr_t;
inline constexpr Handle noHandle = -1;

struct InputFile {
    Handle handle = noHandle;
};

struct OutputFile {
    Handle handle = noHandle;
    bool regular = false;    // a disk file: only such a file is emptied after a failure
    std::string name;        // to empty it by name if closing it fails
    std::uint64_t id[2]{};   // which file it is, to know it again by name then
};

// Opens an existing file for reading, shared with other readers but not with
// writers. False for a missing file, a directory, no permission, or a file
// that another run is writing.
bool openInput(const char* name, InputFile& in);

// Opens the output for writing, creating it or truncating it, not shared.
// False when it cannot be opened, is a directory, is the input itself (by
// any name or link), or is open in another run; it is then left untouched.
bool openOutput(const char* name, const InputFile& in, OutputFile& out);

// The input's length, found by moving to its end and back: only a hint, -1
// when the file cannot tell (a pipe).
std::int64_t fileLength(InputFile& in);

// Reads up to `room` bytes (any number, however large). The count read, 0 at
// the end of the file, -1 after a read error.
std::int64_t readSome(InputFile& in, std::uint8_t* into, std::size_t room);

void closeInput(InputFile& in);

// Writes every byte, in order. A reader that has gone away (a closed pipe)
// or a file-size limit is a failed write like any other, never a signal
// that ends the process.
bool writeAll(OutputFile& out, std::span<const std::uint8_t> bytes);

// Closes the output. With `failed`, or when the close itself fails, a
// regular output is emptied so that no partial file looks complete; the
// result is then false.
bool closeOutput(OutputFile& out, bool failed);

// Advice that a large buffer is faulted in as huge pages; it works the same
// without.
void adviseHugePages(void* p, std::size_t size);

// Room for `size` bytes (at least 1) that std::free and std::realloc accept,
// placed for huge pages where the system has them: starting on a 2 MiB
// boundary, so that every 2 MiB of it can be one page and one fault, with
// that advice given. Null when the memory cannot be had.
void* allocateLarge(std::size_t size);

// The number of processors this process may run on (at least 1).
unsigned availableCores();

// The one way a helper thread is started: runs `work` on a new thread held
// in `thread`. False when none can be had (no memory for its state, no
// system resource); the caller then does the work on its own thread.
// Never throws.
template <class Work>
bool startThread(std::thread& thread, Work&& work) noexcept {
    try {
        thread = std::thread(std::forward<Work>(work));
        return true;
    } catch (...) {
        return false;
    }
}

// ---------------------------------------------------------------------------
// The command line's own process: the library never calls these.

// Sets up the process for a run: standard streams that are closed are
// replaced by empty ones (so that no file opened later takes their place),
// and a stop that ends the process (a signal whose default action is to
// end it, a crash; on Windows Ctrl-C, Ctrl-Break, a closed console, an
// unhandled exception) empties the output that `watchOutput` names and
// restores the console before the process ends as that stop would end it.
void prepareProcess();

// The arguments exactly as given, program name first, as UTF-8.
std::vector<std::string> arguments(int argc, char** argv);

// The output that a stop must empty while it is being written (noHandle
// for none). `closeOutput` forgets it.
void watchOutput(const OutputFile& out);

// Where the messages go: standard output, unless that is the input or the
// output file itself (the same file, pipe or device), where a message would
// land among the data; then standard error.
enum class Console { standardOutput, standardError };
Console messageStream(const InputFile& in, const OutputFile& out);

// Writes a message as bytes, exactly as given.
void writeMessage(Console where, const char* text);

// The wait after a message: the title "press any key to exit" where the
// console has one, console input out of line mode and echo, one byte read
// from standard input (or none at its end), the console restored however
// the wait ends.
void waitForKey(Console where);

} // namespace vemk::platform
