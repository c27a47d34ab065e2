// The C++ interface (vemk/vemk.h): whole buffers and files by name, over
// the same flows as the C interface and the command line. Nothing leaves
// it but its results.
#include "lib/flows.h"
#include "lib/head.h"
#include "lib/result.h"
#include "vemk/vemk.h"

namespace vemk {

namespace {

// Opens the two files by name with the command line's rules and runs `flow`
// on them; the flow closes both.
template <class Flow>
Result onFiles(const char* inputName, const char* outputName, Flow flow) {
    InputFile in;
    if (!platform::openInput(inputName, in)) {
        return Result::cannotOpenInput;
    }
    OutputFile out;
    if (!platform::openOutput(outputName, in, out)) {
        platform::closeInput(in);
        return Result::cannotOpenOutput;
    }
    return flow(in, out);
}

} // namespace

Packed compressBuffer(std::span<const std::uint8_t> input, unsigned threads) {
    return guarded([&] { return packBuffer(input, threads); });
}

Restored decompressBuffer(std::span<const std::uint8_t> file) {
    return guarded([&] {
        HeadFields head = readHead(file);
        return decompressBytes(codedStream(file), head.table, head.length);
    });
}

Result compressFile(const char* inputName, const char* outputName) {
    return guarded([&] {
        return onFiles(inputName, outputName, [](InputFile& in, OutputFile& out) { return compressFile(in, out); });
    });
}

Result decompressFile(const char* inputName, const char* outputName) {
    return guarded([&] {
        return onFiles(inputName, outputName, [](InputFile& in, OutputFile& out) { return decompressFile(in, out); });
    });
}

const char* messageFor(Result r) {
    switch (r) {
    case Result::ok:
        return "";
    case Result::cannotOpenInput:
        return "cannot open file";
    case Result::cannotOpenOutput:
        return "cannot open out file";
    case Result::readFailed:
        return "cannot read file";
    case Result::inputTooLarge:
        return "file too large";
    case Result::outOfMemory:
        return "not enough memory";
    case Result::writeFailed:
        return "cannot write out file";
    case Result::negativeLength:
        return "damaged file: negative length";
    case Result::badTable:
        return "damaged file: bad frequency table";
    case Result::targetOutsideTable:
        return "damaged file: bad coded stream";
    case Result::streamCutShort:
        return "damaged file: coded stream cut short";
    case Result::destinationTooSmall:
        return "output buffer too small";
    case Result::badStreamEnd:
        return "damaged file: bad coded stream";
    }
    return "";
}

} // namespace vemk
