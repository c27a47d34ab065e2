// The platform layer on Windows: Win32 calls only, no C runtime file or
// console streams (which would translate line ends).
//
// Sharing is the system's own: the input is opened with read sharing only
// and the output with none, created or truncated by the same open, so
// `vemk c f f` (or through a hard link) fails at the output's open and `f`
// keeps its contents, and two runs cannot write one output at once.
//
// File names are UTF-16 to the system and UTF-8 to the rest of vemk. The
// conversion keeps unpaired surrogates (as three-byte sequences), so every
// name that the command line can carry arrives unchanged.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace vemk::platform {

namespace {

// ReadFile and WriteFile take 32-bit counts.
constexpr std::size_t chunk = std::size_t{1} << 30;

// Writes go out in pieces of this size under the lock that a stop takes,
// so that a stop waits at most for one of them.
constexpr std::size_t lockedPiece = std::size_t{1} << 24;

HANDLE handleOf(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle handleFrom(HANDLE h) { return reinterpret_cast<Handle>(h); }

// UTF-16 code units to UTF-8, lone surrogates kept as three-byte sequences.
std::string narrow(const wchar_t* w) {
    std::string out;
    for (std::size_t i = 0; w[i] != 0; ++i) {
        std::uint32_t c = static_cast<std::uint16_t>(w[i]);
        auto next = static_cast<std::uint16_t>(w[i + 1]);
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The inverse of narrow(). False for bytes that are not such a sequence;
// no file has that name.
bool widen(const char* s, std::wstring& out) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    while (*p != 0) {
        std::uint32_t c = *p;
        int more = c < 0x80 ? 0 : c >= 0xC2 && c < 0xE0 ? 1 : c >= 0xE0 && c < 0xF0 ? 2 : c >= 0xF0 && c < 0xF5 ? 3 : -1;
        if (more < 0) {
            return false;
        }
        c = more == 0 ? c : c & (0x3F >> more);
        for (int k = 1; k <= more; ++k) {
            if ((p[k] & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (p[k] & 0x3F);
        }
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[more] || c > 0x10FFFF) {
            return false; // overlong or out of range
        }
        if (c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
        p += 1 + more;
    }
    return true;
}

// What a stop by the user must reach. Writes to the output take `writing`,
// so a stop never empties the file while a write is under way and no write
// follows the emptying.
SRWLOCK writing = SRWLOCK_INIT;
std::atomic<HANDLE> watchedOutput{nullptr};
std::atomic<bool> consoleChanged{false};
std::atomic<DWORD> savedConsoleMode{0};

void empty(HANDLE h) {
    LARGE_INTEGER start{};
    if (SetFilePointerEx(h, start, nullptr, FILE_BEGIN)) {
        (void)SetEndOfFile(h);
    }
}

// Runs on a thread of its own: empty the output, give the console its mode
// back, and end the process as the stop would have ended it.
BOOL WINAPI onStop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    AcquireSRWLockExclusive(&writing);
    HANDLE h = watchedOutput.load();
    if (h != nullptr) {
        empty(h);
    }
    if (consoleChanged.load()) {
        (void)SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), savedConsoleMode.load());
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE; // not reached
}

// A crash (an exception nothing handles) or abort(): the output is emptied
// and the console given back, then the process ends as it would have. No
// lock is taken: the crash may have come in the middle of a write.
void emptyForCrash() {
    HANDLE h = watchedOutput.load();
    if (h != nullptr) {
        empty(h);
    }
    if (consoleChanged.load()) {
        (void)SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), savedConsoleMode.load());
    }
}

LONG WINAPI onCrash(EXCEPTION_POINTERS*) {
    emptyForCrash();
    return EXCEPTION_CONTINUE_SEARCH;
}

extern "C" void onAbort(int) {
    emptyForCrash();
    (void)std::signal(SIGABRT, SIG_DFL);
}

bool identity(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) {
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(h, &info) != 0;
}

bool isConsole(HANDLE h) {
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

HANDLE streamOf(Console where) {
    return GetStdHandle(where == Console::standardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}

} // namespace

bool openInput(const char* name, InputFile& in) {
    std::wstring wide;
    if (name == nullptr || !widen(name, wide)) {
        return false;
    }
    // No FILE_FLAG_BACKUP_SEMANTICS: a directory does not open.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    in.handle = handleFrom(h);
    return true;
}

bool openOutput(const char* name, const InputFile& in, OutputFile& out) {
    (void)in; // the input's own sharing refuses it as the output
    std::wstring wide;
    if (name == nullptr || !widen(name, wide)) {
        return false;
    }
    // Copied before anything is opened: a failed allocation then leaves no
    // file touched and no handle behind.
    out.name = name;
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    out.handle = handleFrom(h);
    out.regular = GetFileType(h) == FILE_TYPE_DISK;
    return true;
}

std::int64_t fileLength(InputFile& in) {
    HANDLE h = handleOf(in.handle);
    LARGE_INTEGER zero{};
    LARGE_INTEGER end{};
    if (GetFileType(h) != FILE_TYPE_DISK || !SetFilePointerEx(h, zero, &end, FILE_END) ||
        !SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)) {
        return -1;
    }
    return end.QuadPart;
}

std::int64_t readSome(InputFile& in, std::uint8_t* into, std::size_t room) {
    DWORD got = 0;
    auto want = static_cast<DWORD>(std::min(room, chunk));
    if (ReadFile(handleOf(in.handle), into, want, &got, nullptr)) {
        return got;
    }
    // The writer of a pipe has closed it: that is its end.
    return GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

void closeInput(InputFile& in) {
    if (in.handle != noHandle) {
        CloseHandle(handleOf(in.handle));
        in.handle = noHandle;
    }
}

bool writeAll(OutputFile& out, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD put = 0;
        AcquireSRWLockExclusive(&writing);
        bool wrote = WriteFile(handleOf(out.handle), bytes.data(), static_cast<DWORD>(std::min(bytes.size(), lockedPiece)),
                               &put, nullptr) != 0;
        ReleaseSRWLockExclusive(&writing);
        if (!wrote || put == 0) {
            return false;
        }
        bytes = bytes.subspan(put);
    }
    return true;
}

bool closeOutput(OutputFile& out, bool failed) {
    if (out.handle == noHandle) {
        return !failed;
    }
    HANDLE h = handleOf(out.handle);
    out.handle = noHandle;
    if (failed && out.regular) {
        empty(h);
    }
    AcquireSRWLockExclusive(&writing);
    HANDLE expected = h;
    (void)watchedOutput.compare_exchange_strong(expected, nullptr);
    ReleaseSRWLockExclusive(&writing);
    return CloseHandle(h) != 0 && !failed;
}

void adviseHugePages(void* p, std::size_t size) {
    // Large pages need a privilege that ordinary users lack; the buffer is
    // the same without.
    (void)p;
    (void)size;
}

void* allocateLarge(std::size_t size) {
    // _aligned_malloc would need its own free: the caller frees with
    // std::free, and without large pages the placement gains nothing.
    return std::malloc(size == 0 ? 1 : size);
}

unsigned availableCores() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
    }
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

void prepareProcess() {
    // No dialog boxes for a drive without a disk: a failed open is a message.
    (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    (void)SetConsoleCtrlHandler(onStop, TRUE);
    (void)SetUnhandledExceptionFilter(onCrash);
    (void)std::signal(SIGABRT, onAbort);
}

std::vector<std::string> arguments(int argc, char** argv) {
    // The C runtime's argv went through the ANSI code page, which loses
    // every character outside it; the wide command line has them all.
    (void)argc;
    (void)argv;
    std::vector<std::string> args;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return {argv, argv + argc};
    }
    for (int i = 0; i < count; ++i) {
        args.push_back(narrow(wide[i]));
    }
    LocalFree(wide);
    return args;
}

void watchOutput(const OutputFile& out) {
    watchedOutput.store(out.regular ? handleOf(out.handle) : nullptr);
}

Console messageStream(const InputFile& in, const OutputFile& out) {
    HANDLE stdoutHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION mine{};
    bool disk = identity(stdoutHandle, mine);
    for (Handle h : {in.handle, out.handle}) {
        if (h == noHandle) {
            continue;
        }
        BY_HANDLE_FILE_INFORMATION theirs{};
        if (disk && identity(handleOf(h), theirs) && mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
            mine.nFileIndexHigh == theirs.nFileIndexHigh && mine.nFileIndexLow == theirs.nFileIndexLow) {
            return Console::standardError;
        }
        if (isConsole(stdoutHandle) && isConsole(handleOf(h))) {
            return Console::standardError;
        }
    }
    return Console::standardOutput;
}

void writeMessage(Console where, const char* text) {
    HANDLE h = streamOf(where);
    std::size_t left = std::strlen(text);
    while (left > 0 && h != nullptr && h != INVALID_HANDLE_VALUE) {
        DWORD put = 0;
        if (!WriteFile(h, text, static_cast<DWORD>(left), &put, nullptr) || put == 0) {
            return; // nowhere left to report to
        }
        text += put;
        left -= put;
    }
}

void waitForKey(Console where) {
    (void)where; // the title is the console window's, not a stream's
    (void)SetConsoleTitleW(L"press any key to exit");
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    bool console = GetConsoleMode(in, &mode) != 0;
    if (console) {
        savedConsoleMode.store(mode);
        consoleChanged.store(true);
        (void)SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
    }
    char key = 0;
    DWORD got = 0;
    (void)ReadFile(in, &key, 1, &got, nullptr);
    if (console) {
        (void)SetConsoleMode(in, mode);
        consoleChanged.store(false);
    }
}

} // namespace vemk::platform
