#include "cli/start.h"

#include <string>
#include <vector>

#include "lib/files.h"
#include "lib/flows.h"
#include "platform/platform.h"
#include "lib/result.h"

namespace vemk {

namespace {

constexpr const char* usageMessage = "vemk {c|d} infile outfile";
constexpr const char* modeMessage = "Run time error, rule 'Start' in module 'vemk' does not match\n";

constexpr int failed = -1;

// Prints a message, waits for a key and gives the failure status.
int fail(platform::Console where, const char* message) {
    platform::writeMessage(where, message);
    platform::waitForKey(where);
    return failed;
}

// The run itself; `Start` only sets up the process around it.
int run(int argc, char** argv) {
    const std::vector<std::string> args = platform::arguments(argc, argv);
    platform::Console where = platform::Console::standardOutput;
    if (args.size() < 4) {
        return fail(where, usageMessage);
    }
    InputFile in;
    if (!platform::openInput(args[2].c_str(), in)) {
        return fail(where, messageFor(Result::cannotOpenInput));
    }
    OutputFile out;
    if (!platform::openOutput(args[3].c_str(), in, out)) {
        where = platform::messageStream(in, out);
        platform::closeInput(in);
        return fail(where, messageFor(Result::cannotOpenOutput));
    }
    // Decided while both files are open: the flows close them.
    where = platform::messageStream(in, out);
    platform::watchOutput(out);
    Result r;
    if (args[1] == "c") {
        r = compressFile(in, out, platform::availableCores());
    } else if (args[1] == "d") {
        r = decompressFile(in, out);
    } else {
        // The output was created or truncated by its opening and stays empty.
        (void)abandon(in, out, Result::ok);
        return fail(where, modeMessage);
    }
    return r == Result::ok ? 0 : fail(where, messageFor(r));
}

} // namespace

int Start(int argc, char** argv) {
    platform::prepareProcess();
    // The flows and the library throw nothing; only the arguments' copy and
    // the output's name take memory that may fail before a file is touched.
    try {
        return run(argc, argv);
    } catch (...) {
        return fail(platform::Console::standardOutput, messageFor(Result::outOfMemory));
    }
}

} // namespace vemk
