// The library as another program uses it: whole files by name, with the
// same rules as the command line, reported as results. It must leave no
// descriptor open and never write to the console, whatever happens.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "vemk/vemk.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes readAll(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void writeAll(const fs::path& p, const Bytes& b) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++n;
        }
        closedir(d);
    }
    return n;
}

// Runs `f` with standard output and standard error sent to a file, and
// gives back what reached them.
template <class F>
std::string consoleDuring(const fs::path& capture, F&& f) {
    std::fflush(nullptr);
    int saved[2] = {dup(1), dup(2)};
    int sink = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(sink, 1);
    dup2(sink, 2);
    close(sink);
    f();
    std::fflush(nullptr);
    dup2(saved[0], 1);
    dup2(saved[1], 2);
    close(saved[0]);
    close(saved[1]);
    Bytes got = readAll(capture);
    return {got.begin(), got.end()};
}

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("vemk-library-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(Library, FilesByNameRoundTrip) {
    Bytes data;
    for (int i = 0; i < 100000; ++i) {
        data.push_back(static_cast<std::uint8_t>(i % 7 == 0 ? i : 'a' + i % 3));
    }
    writeAll(dir / "in", data);
    ASSERT_EQ(vemk::compressFile((dir / "in").c_str(), (dir / "c").c_str()), vemk::Result::ok);
    ASSERT_EQ(vemk::decompressFile((dir / "c").c_str(), (dir / "out").c_str()), vemk::Result::ok);
    EXPECT_EQ(readAll(dir / "out"), data);
    vemk::Packed packed = vemk::compressBuffer(data);
    ASSERT_EQ(packed.result, vemk::Result::ok);
    Bytes file = readAll(dir / "c");
    EXPECT_EQ(Bytes(packed.file.data(), packed.file.data() + packed.file.size), file);
}

TEST_F(Library, FailuresAreResultsWithNoDescriptorLeftAndNothingOnTheConsole) {
    writeAll(dir / "in", Bytes(1000, 'x'));
    writeAll(dir / "same", Bytes{'k', 'e', 'e', 'p'});
    writeAll(dir / "negative", Bytes{0xFF, 0xFF, 0xFF, 0xFF});
    fs::create_directories(dir / "folder");
    struct Case {
        const char* what;
        bool compress;
        fs::path input, output;
        vemk::Result expected;
    };
    const Case cases[] = {
        {"missing input", true, dir / "missing", dir / "o1", vemk::Result::cannotOpenInput},
        {"directory as input", false, dir / "folder", dir / "o2", vemk::Result::cannotOpenInput},
        {"output in a missing folder", true, dir / "in", dir / "no" / "o3", vemk::Result::cannotOpenOutput},
        {"directory as output", true, dir / "in", dir / "folder", vemk::Result::cannotOpenOutput},
        {"output is the input", true, dir / "same", dir / "same", vemk::Result::cannotOpenOutput},
        {"full disk", true, dir / "in", "/dev/full", vemk::Result::writeFailed},
        {"damaged file", false, dir / "negative", dir / "o4", vemk::Result::negativeLength},
        {"not a compressed file", false, dir / "in", dir / "o5", vemk::Result::badTable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int before = openDescriptors();
        vemk::Result got{};
        std::string console = consoleDuring(dir / "console", [&] {
            got = c.compress ? vemk::compressFile(c.input.c_str(), c.output.c_str())
                             : vemk::decompressFile(c.input.c_str(), c.output.c_str());
        });
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(console, "");
        EXPECT_EQ(openDescriptors(), before);
        if (fs::is_regular_file(c.output) && c.output != c.input) {
            EXPECT_EQ(fs::file_size(c.output), 0U) << "a failed run leaves its output empty";
        }
    }
    EXPECT_EQ(readAll(dir / "same"), (Bytes{'k', 'e', 'e', 'p'}));
    // A null name is a file that cannot be opened.
    EXPECT_EQ(vemk::compressFile(nullptr, (dir / "o6").c_str()), vemk::Result::cannotOpenInput);
    EXPECT_EQ(vemk::decompressFile((dir / "in").c_str(), nullptr), vemk::Result::cannotOpenOutput);
}

// The calling program survives a pipe whose reader has gone: the library
// reports it and leaves the program's own handling of SIGPIPE as it was.
TEST_F(Library, OutputPipeWithoutAReaderIsAResultNotASignal) {
    writeAll(dir / "in", Bytes(1 << 20, 'x'));
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    auto previous = signal(SIGPIPE, SIG_DFL);
    std::thread reader([&] { close(open((dir / "pipe").c_str(), O_RDONLY)); });
    vemk::Result r = vemk::compressFile((dir / "in").c_str(), (dir / "pipe").c_str());
    reader.join();
    EXPECT_EQ(r, vemk::Result::writeFailed);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    signal(SIGPIPE, previous);
}

TEST(LibraryMessages, EveryResultHasTheCommandLinesMessage) {
    EXPECT_STREQ(vemk::messageFor(vemk::Result::ok), "");
    EXPECT_STREQ(vemk::messageFor(vemk::Result::cannotOpenInput), "cannot open file");
    EXPECT_STREQ(vemk::messageFor(vemk::Result::cannotOpenOutput), "cannot open out file");
    for (int r = static_cast<int>(vemk::Result::readFailed);
         r <= static_cast<int>(vemk::Result::badStreamEnd); ++r) {
        EXPECT_STRNE(vemk::messageFor(static_cast<vemk::Result>(r)), "") << r;
    }
}

} // namespace
