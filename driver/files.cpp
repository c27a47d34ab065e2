#include "driver/files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
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

} // namespace

bool openInput(const char* name, InputFile& in) {
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || !lockOrUnsupported(fd, LOCK_SH)) {
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
    if (sameAsInput || !lockOrUnsupported(fd, LOCK_EX)) {
        close(fd);
        return false;
    }
    out.regular = S_ISREG(st.st_mode);
    out.name = name;
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
    bool closed = close(out.fd) == 0;
    out.fd = -1;
    if (!closed && !failed && out.regular) {
        // A close can report a write that the file system deferred; the
        // descriptor is gone, so the file is emptied by its name.
        (void)truncate(out.name, 0);
    }
    return failed || !closed ? Result::writeFailed : Result::ok;
}

} // namespace vemk
