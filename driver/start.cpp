#include "driver/start.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "driver/files.h"
#include "driver/flows.h"
#include "driver/result.h"

namespace vemk {

namespace {

constexpr const char* usageMessage = "vemk {c|d} infile outfile";
constexpr const char* modeMessage = "Run time error, rule 'Start' in module 'vemk' does not match\n";
constexpr const char* waitTitle = "\x1b]0;press any key to exit\x07";

constexpr int failed = -1;

void writeText(int fd, const char* text) {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t put = write(fd, text, left);
        if (put <= 0) {
            return; // nowhere left to report to
        }
        text += put;
        left -= static_cast<std::size_t>(put);
    }
}

// Reads exactly one byte of standard input, unbuffered, so that a script
// feeding several runs from one input loses one byte per run. On a
// terminal the byte is taken at once and not echoed.
void waitForKey() {
    termios saved{};
    bool terminal = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios raw = saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    char key = 0;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    if (terminal) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
}

// Prints a message, waits for a key and gives the failure status.
int fail(const char* message) {
    writeText(STDOUT_FILENO, message);
    if (isatty(STDOUT_FILENO) != 0) {
        // The title belongs to the terminal, never to a redirected output.
        writeText(STDOUT_FILENO, waitTitle);
    }
    waitForKey();
    return failed;
}

// A closed standard stream would hand its number to the first file opened,
// and a message could then land in the output file. /dev/null in its place
// keeps them apart; reading it ends at once, as a closed input would.
void keepStandardStreamsApart() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                close(opened); // cannot happen: the lowest free number is fd
            }
        }
    }
}

} // namespace

int Start(int argc, char** argv) {
    keepStandardStreamsApart();
    // A reader that goes away (`vemk d f /dev/stdout | head`) is a failed
    // write with its message, not a signal that ends the run unreported.
    (void)std::signal(SIGPIPE, SIG_IGN);
    if (argc - 1 < 3) {
        return fail(usageMessage);
    }
    InputFile in;
    if (!openInput(argv[2], in)) {
        return fail(messageFor(Result::cannotOpenInput));
    }
    OutputFile out;
    if (!openOutput(argv[3], in, out)) {
        return fail(messageFor(Result::cannotOpenOutput));
    }
    Result r;
    if (std::strcmp(argv[1], "c") == 0) {
        r = compressFile(in, out);
    } else if (std::strcmp(argv[1], "d") == 0) {
        r = decompressFile(in, out);
    } else {
        return fail(modeMessage);
    }
    return r == Result::ok ? 0 : fail(messageFor(r));
}

} // namespace vemk
