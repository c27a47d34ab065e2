// The platform layer on Linux, the BSDs and macOS: POSIX calls only.
//
// Sharing is made real with advisory locks on regular files: the input is
// held with a shared lock (other readers welcome), the output with an
// exclusive one taken before it is truncated, so `vemk c f f` and two runs
// writing one output at the same time fail instead of destroying data.
// Devices and pipes (/dev/null, a terminal) hold no data to protect and are
// not locked.
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#if defined(__linux__)
#include <sched.h>
#endif

namespace vemk::platform {

namespace {

// A single read or write moves at most about 2 GiB on Linux; asking for
// 1 GiB at a time keeps every call well inside that.
constexpr std::size_t chunk = std::size_t{1} << 30;

// The size of a huge page where the system has them (x86-64, aarch64).
constexpr std::size_t hugePage = std::size_t{2} << 20;

int fdOf(Handle h) { return static_cast<int>(h); }

bool lockOrUnsupported(int fd, int how) {
    if (flock(fd, how | LOCK_NB) == 0) {
        return true;
    }
    // A file system without locks cannot enforce sharing; only a real
    // conflict refuses the file.
    return errno != EWOULDBLOCK;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
        return true;
    }
    // One device under two names (/dev/tty and /dev/pts/3).
    return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev;
}

// SIGPIPE held back while this exists: a write to a pipe whose reader has
// gone fails with EPIPE instead of ending the process. A SIGPIPE that such
// a write raised is taken off the thread before the old mask returns, so
// that it is not delivered then; one that was already pending stays.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        wasPending_ = pending();
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &saved_);
    }
    ~PipeSignalHeld() {
        if (!wasPending_ && pending()) {
            int taken = 0;
            (void)sigwait(&pipeOnly_, &taken); // returns at once: it is pending
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    static bool pending() {
        sigset_t now;
        sigemptyset(&now);
        return sigpending(&now) == 0 && sigismember(&now, SIGPIPE) == 1;
    }
    sigset_t pipeOnly_{};
    sigset_t saved_{};
    bool wasPending_ = false;
};

// What a stop by the user must reach: the output being written and the
// terminal mode to give back. Only the command line sets them.
std::atomic<int> watchedOutput{-1};
std::atomic<bool> terminalChanged{false};
termios savedTerminal{};

// Every catchable signal whose default action ends the process: stops by
// the user or another program, limits and timers, and crashes. SIGPIPE and
// SIGXFSZ are ignored instead: they become failed writes.
constexpr int stopSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
                               SIGPROF, SIGXCPU,   SIGSEGV, SIGBUS,  SIGILL,  SIGFPE,  SIGABRT};

// Async-signal-safe work only: empty the output, give the terminal back,
// and end the process by the same signal (the handler is reset and the
// signal not blocked, so raising it again ends the process at once, with
// its default action: a core dump where one is made). A crash that comes
// back after the handler returns meets that default action too.
extern "C" void onStop(int sig) {
    int saved = errno;
    int fd = watchedOutput.load();
    if (fd >= 0) {
        (void)ftruncate(fd, 0);
    }
    if (terminalChanged.load()) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    (void)raise(sig);
    errno = saved;
}

// `/dev/stdin` or `/dev/fd/N` (and /proc/self/fd/N): the descriptor number
// they name, or -1.
int standardDescriptorOf(const char* name) {
    if (std::strcmp(name, "/dev/stdin") == 0) {
        return STDIN_FILENO;
    }
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        std::size_t n = std::strlen(prefix);
        if (std::strncmp(name, prefix, n) == 0 && name[n] >= '0' && name[n] <= '9') {
            char* end = nullptr;
            long fd = std::strtol(name + n, &end, 10);
            return *end == '\0' && fd <= 1024 ? static_cast<int>(fd) : -1;
        }
    }
    return -1;
}

void writeText(int fd, const char* text) {
    std::size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t put = write(fd, text, left);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return; // nowhere left to report to
        }
        text += put;
        left -= static_cast<std::size_t>(put);
    }
}

} // namespace

bool openInput(const char* name, InputFile& in) {
    if (name == nullptr) {
        return false;
    }
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENXIO) {
        // A socket cannot be opened by name, but as our own standard input
        // (or another inherited descriptor) it can still be read.
        int inherited = standardDescriptorOf(name);
        struct stat st {};
        if (inherited >= 0 && fstat(inherited, &st) == 0 && S_ISSOCK(st.st_mode)) {
            fd = fcntl(inherited, F_DUPFD_CLOEXEC, 3);
        }
    }
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
        (S_ISREG(st.st_mode) && !lockOrUnsupported(fd, LOCK_SH))) {
        close(fd);
        return false;
    }
    in.handle = fd;
    return true;
}

bool openOutput(const char* name, const InputFile& in, OutputFile& out) {
    if (name == nullptr) {
        return false;
    }
    // Copied before anything is opened: a failed allocation then leaves no
    // file touched and no descriptor behind.
    out.name = name;
    int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    struct stat inSt {};
    bool known = fstat(fd, &st) == 0;
    bool sameAsInput = known && fstat(fdOf(in.handle), &inSt) == 0 && st.st_dev == inSt.st_dev &&
                       st.st_ino == inSt.st_ino;
    bool regular = known && S_ISREG(st.st_mode);
    if (!known || sameAsInput || (regular && !lockOrUnsupported(fd, LOCK_EX)) ||
        (regular && ftruncate(fd, 0) != 0)) {
        close(fd);
        return false;
    }
    out.handle = fd;
    out.regular = regular;
    out.id[0] = static_cast<std::uint64_t>(st.st_dev);
    out.id[1] = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

std::int64_t fileLength(InputFile& in) {
    off_t end = lseek(fdOf(in.handle), 0, SEEK_END);
    if (lseek(fdOf(in.handle), 0, SEEK_SET) != 0) {
        return -1;
    }
    return end;
}

std::int64_t readSome(InputFile& in, std::uint8_t* into, std::size_t room) {
    for (;;) {
        ssize_t got = read(fdOf(in.handle), into, std::min(room, chunk));
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

void closeInput(InputFile& in) {
    if (in.handle != noHandle) {
        close(fdOf(in.handle));
        in.handle = noHandle;
    }
}

bool writeAll(OutputFile& out, std::span<const std::uint8_t> bytes) {
    const PipeSignalHeld held;
    while (!bytes.empty()) {
        ssize_t put = write(fdOf(out.handle), bytes.data(), std::min(bytes.size(), chunk));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    return true;
}

bool closeOutput(OutputFile& out, bool failed) {
    if (out.handle == noHandle) {
        return !failed;
    }
    const int fd = fdOf(out.handle);
    out.handle = noHandle;
    if (failed && out.regular) {
        (void)ftruncate(fd, 0);
    }
    int expected = fd;
    (void)watchedOutput.compare_exchange_strong(expected, -1);
    // EINTR leaves the descriptor closed and the data written.
    bool closed = close(fd) == 0 || errno == EINTR;
    if (!closed && !failed && out.regular) {
        // A close can report a write that the file system deferred. The
        // descriptor and its lock are gone: the file is emptied by its name,
        // but only if it is still ours and no other run has taken it since.
        int again = open(out.name.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        struct stat st {};
        if (again >= 0 && fstat(again, &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == out.id[0] &&
            static_cast<std::uint64_t>(st.st_ino) == out.id[1] && flock(again, LOCK_EX | LOCK_NB) == 0) {
            (void)ftruncate(again, 0);
        }
        if (again >= 0) {
            close(again);
        }
    }
    return !failed && closed;
}

void adviseHugePages(void* p, std::size_t size) {
#ifdef MADV_HUGEPAGE
    // Only advice, for the whole 2 MiB pages inside the buffer: one fault
    // per 2 MiB instead of one per 4 KiB.
    if (size < 2 * hugePage) {
        return;
    }
    auto start = reinterpret_cast<std::uintptr_t>(p);
    std::uintptr_t first = (start + hugePage - 1) & ~(hugePage - 1);
    std::uintptr_t end = (start + size) & ~(hugePage - 1);
    if (end > first) {
        (void)madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
    }
#else
    (void)p;
    (void)size;
#endif
}

void* allocateLarge(std::size_t size) {
    // The part before the boundary is never touched, so it costs address
    // space only.
    void* p = nullptr;
    if (posix_memalign(&p, hugePage, size == 0 ? 1 : size) != 0) {
        return nullptr;
    }
    adviseHugePages(p, size);
    return p;
}

unsigned availableCores() {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        int n = CPU_COUNT(&allowed);
        if (n > 0) {
            return static_cast<unsigned>(n);
        }
    }
#endif
    unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

void prepareProcess() {
    // A closed standard stream would hand its number to the first file
    // opened, and a message could then land in the output file. /dev/null
    // in its place keeps them apart; reading it ends at once, as a closed
    // input would.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                close(opened); // cannot happen: the lowest free number is fd
            }
        }
    }
    // A reader that goes away (`vemk d f /dev/stdout | head`) or a file-size
    // limit is a failed write with its message, not a signal that ends the
    // run unreported.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    for (int sig : stopSignals) {
        struct sigaction was {};
        // A signal that the caller chose to ignore (nohup, a background job)
        // stays ignored.
        if (sigaction(sig, nullptr, &was) != 0 || was.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction act {};
        act.sa_handler = onStop;
        sigemptyset(&act.sa_mask);
        act.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
        (void)sigaction(sig, &act, nullptr);
    }
}

std::vector<std::string> arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

void watchOutput(const OutputFile& out) {
    watchedOutput.store(out.regular ? fdOf(out.handle) : -1);
}

Console messageStream(const InputFile& in, const OutputFile& out) {
    struct stat stdoutSt {};
    if (fstat(STDOUT_FILENO, &stdoutSt) != 0) {
        return Console::standardOutput;
    }
    for (Handle h : {in.handle, out.handle}) {
        struct stat st {};
        if (h != noHandle && fstat(fdOf(h), &st) == 0 && sameFile(st, stdoutSt)) {
            return Console::standardError;
        }
    }
    return Console::standardOutput;
}

void writeMessage(Console where, const char* text) {
    writeText(where == Console::standardError ? STDERR_FILENO : STDOUT_FILENO, text);
}

// Reads exactly one byte of standard input, unbuffered, so that a script
// feeding several runs from one input loses one byte per run. On a
// terminal the byte is taken at once and not echoed.
void waitForKey(Console where) {
    const int fd = where == Console::standardError ? STDERR_FILENO : STDOUT_FILENO;
    if (isatty(fd) != 0) {
        // The title belongs to the terminal, never to a redirected output.
        writeText(fd, "\x1b]0;press any key to exit\x07");
    }
    termios saved{};
    bool terminal = isatty(STDIN_FILENO) != 0 && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        savedTerminal = saved;
        terminalChanged.store(true);
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
        terminalChanged.store(false);
    }
}

} // namespace vemk::platform
