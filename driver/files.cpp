#include "driver/files.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vemk {

namespace {

// A single read or write moves at most about 2 GiB on Linux; asking for
// 1 GiB at a time keeps every call well inside that.
constexpr std::size_t chunk = std::size_t{1} << 30;

// Grown by this much at least while a file of unknown length is read.
constexpr std::size_t firstRoom = std::size_t{1} << 16;

bool lockOrUnsupported(int fd, int how) {
    if (flock(fd, how | LOCK_NB) == 0) {
        return true;
    }
    // A file system without locks cannot enforce sharing; only a real
    // conflict refuses the file.
    return errno != EWOULDBLOCK;
}

// SIGPIPE held back while this exists: a write to a pipe whose reader has
// gone fails with EPIPE instead of ending the process. A SIGPIPE that such
// a write raises is taken off the thread before the old mask returns, so
// that it is not delivered then; one that was already pending stays.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipeOnly_, &saved_);
    }
    ~PipeSignalHeld() {
        if (!wasPending_) {
            const timespec now{};
            while (sigtimedwait(&pipeOnly_, nullptr, &now) == -1 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t pipeOnly_{};
    sigset_t saved_{};
    bool wasPending_ = false;
};

} // namespace

bool openInput(const char* name, InputFile& in) {
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
        (S_ISREG(st.st_mode) && !lockOrUnsupported(fd, LOCK_SH))) {
        close(fd);
        return false;
    }
    in.fd = fd;
    return true;
}

bool openOutput(const char* name, const InputFile& in, OutputFile& out) {
    int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    struct stat inSt {};
    bool sameAsInput = fstat(fd, &st) == 0 && fstat(in.fd, &inSt) == 0 &&
                       st.st_dev == inSt.st_dev && st.st_ino == inSt.st_ino;
    out.regular = S_ISREG(st.st_mode);
    if (sameAsInput || (out.regular && !lockOrUnsupported(fd, LOCK_EX))) {
        close(fd);
        return false;
    }
    out.name = name;
    out.device = st.st_dev;
    out.inode = st.st_ino;
    if (out.regular && ftruncate(fd, 0) != 0) {
        close(fd);
        return false;
    }
    out.fd = fd;
    return true;
}

std::int64_t fileLength(InputFile& in) {
    off_t end = lseek(in.fd, 0, SEEK_END);
    if (lseek(in.fd, 0, SEEK_SET) != 0) {
        return -1;
    }
    return end;
}

Result readWhole(InputFile& in, std::int64_t lengthHint, std::size_t maxBytes, ByteString& out) {
    auto hint = static_cast<std::size_t>(std::max<std::int64_t>(lengthHint, 0));
    if (hint > maxBytes) {
        return Result::inputTooLarge;
    }
    // One byte beyond the hint lets the end of the file show without a
    // second buffer; the file may still turn out longer or shorter.
    std::size_t room = std::max(hint + 1, firstRoom);
    out = allocateBytes(room);
    if (!out.bytes) {
        return Result::outOfMemory;
    }
    out.size = 0;
    for (;;) {
        if (out.size == room) {
            if (room > maxBytes) {
                return Result::inputTooLarge;
            }
            std::size_t grown = std::min(room * 2, maxBytes + 1);
            if (!growBytes(out, grown)) {
                return Result::outOfMemory;
            }
            room = grown;
        }
        ssize_t got = read(in.fd, out.data() + out.size, std::min(room - out.size, chunk));
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Result::readFailed;
        }
        out.size += static_cast<std::size_t>(got);
    }
    return out.size > maxBytes ? Result::inputTooLarge : Result::ok;
}

void closeInput(InputFile& in) {
    if (in.fd >= 0) {
        close(in.fd);
        in.fd = -1;
    }
}

bool writeAll(OutputFile& out, std::span<const std::uint8_t> bytes) {
    const PipeSignalHeld held;
    while (!bytes.empty()) {
        ssize_t put = write(out.fd, bytes.data(), std::min(bytes.size(), chunk));
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

Result closeOutput(OutputFile& out, bool failed) {
    if (out.fd < 0) {
        return failed ? Result::writeFailed : Result::ok;
    }
    if (failed && out.regular) {
        (void)ftruncate(out.fd, 0);
    }
    // EINTR leaves the descriptor closed and the data written.
    bool closed = close(out.fd) == 0 || errno == EINTR;
    out.fd = -1;
    if (!closed && !failed && out.regular) {
        // A close can report a write that the file system deferred. The
        // descriptor and its lock are gone: the file is emptied by its name,
        // but only if it is still ours and no other run has taken it since.
        int again = open(out.name, O_WRONLY | O_CLOEXEC | O_NOCTTY);
        struct stat st {};
        if (again >= 0 && fstat(again, &st) == 0 && st.st_dev == out.device && st.st_ino == out.inode &&
            flock(again, LOCK_EX | LOCK_NB) == 0) {
            (void)ftruncate(again, 0);
        }
        if (again >= 0) {
            close(again);
        }
    }
    return failed || !closed ? Result::writeFailed : Result::ok;
}

} // namespace vemk
