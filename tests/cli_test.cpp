// The command line as a user meets it: the real vemk binary run as a child
// process in a fresh directory, with its messages, exit status, files and
// standard input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string usage = "vemk {c|d} infile outfile";
const std::string cannotOpen = "cannot open file";
const std::string cannotOpenOut = "cannot open out file";
const std::string badMode = "Run time error, rule 'Start' in module 'vemk' does not match\n";
const std::string title = "\x1b]0;press any key to exit\x07";
constexpr int failedStatus = 255; // -1 as an exit status shows it

// What the child gets as standard input.
struct Stdin {
    enum Kind { devNull, bytes, shared, closed } kind = devNull;
    std::string data; // bytes: fed through a pipe, which is then closed
    int fd = -1;      // shared: this open file, offset and all
};
Stdin feed(std::string data) { return {Stdin::bytes, std::move(data), -1}; }
Stdin sharedFd(int fd) { return {Stdin::shared, {}, fd}; }
const Stdin closedStdin{Stdin::closed, {}, -1};
constexpr int closedStdout = -2; // in place of a descriptor for standard output

struct Outcome {
    int status = -1; // exit status, or 1000 + the signal that ended it
    std::string out;
    std::string err;
};

// The program and `args`, null-terminated, for exec. VEMK_RUNNER,
// "EMULATOR ... BINARY", runs a cross-built vemk instead.
std::vector<char*> commandLine(const std::vector<std::string>& args) {
    static const std::vector<std::string> runner = [] {
        std::vector<std::string> words;
        std::istringstream line(std::getenv("VEMK_RUNNER") != nullptr ? std::getenv("VEMK_RUNNER") : "");
        for (std::string w; line >> w;) {
            words.push_back(w);
        }
        return words.empty() ? std::vector<std::string>{VEMK_BINARY} : words;
    }();
    std::vector<char*> argv;
    for (const std::string& w : runner) {
        argv.push_back(const_cast<char*>(w.c_str()));
    }
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// Starts vemk in `dir` without waiting, standard input and output on the
// given descriptors (standard error to /dev/null).
pid_t startVemk(const fs::path& dir, const std::vector<std::string>& args, int inFd, int outFd) {
    std::vector<char*> argv = commandLine(args);
    const std::string where = dir.string();
    pid_t pid = fork();
    if (pid == 0) {
        int nullFd = open("/dev/null", O_WRONLY);
        if (chdir(where.c_str()) != 0 || dup2(inFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(nullFd, 2) < 0) {
            _exit(126);
        }
        signal(SIGPIPE, SIG_DFL);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Exit status, or 1000 + the signal that ended the process.
int waitFor(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1000 + WTERMSIG(st);
}

// Runs vemk in `dir` and waits for it, feeding stdin and capturing stdout
// (unless `stdoutFd` names a terminal to write to, or is closedStdout) and
// stderr. A child still
// running after two minutes is killed, so a run that waits for input it
// never gets fails instead of hanging the suite.
Outcome runVemk(const fs::path& dir, const std::vector<std::string>& args, const Stdin& in,
                int stdoutFd) {
    signal(SIGPIPE, SIG_IGN); // a child that stops reading must not end the tests
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, inPipe[2] = {-1, -1};
    int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nullFd < 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
        (stdoutFd == -1 && pipe2(outPipe, O_CLOEXEC) != 0) ||
        (in.kind == Stdin::bytes && pipe2(inPipe, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "cannot make pipes";
        return {};
    }
    const std::string where = dir.string();
    std::vector<char*> argv = commandLine(args);
    int inFd = in.kind == Stdin::bytes ? inPipe[0] : in.kind == Stdin::shared ? in.fd : nullFd;

    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        int outFd = stdoutFd == -1 ? outPipe[1] : stdoutFd;
        if (chdir(where.c_str()) != 0 || dup2(errPipe[1], 2) < 0 ||
            (outFd == closedStdout ? close(1) : dup2(outFd, 1)) < 0 ||
            (in.kind == Stdin::closed ? close(0) : dup2(inFd, 0)) < 0) {
            _exit(126);
        }
        signal(SIGPIPE, SIG_DFL); // as a shell starts it, not as the tests ignore it
        execvp(argv[0], argv.data());
        _exit(127);
    }
    for (int fd : {nullFd, outPipe[1], errPipe[1], inPipe[0]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    Outcome r;
    if (pid < 0) {
        ADD_FAILURE() << "cannot fork";
        return r;
    }
    int inW = inPipe[1], outR = outPipe[0], errR = errPipe[0];
    std::size_t fed = 0;
    if (inW >= 0) {
        fcntl(inW, F_SETFL, O_NONBLOCK);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (outR >= 0 || errR >= 0) {
        if (inW >= 0 && fed == in.data.size()) {
            close(inW); // the end of standard input
            inW = -1;
        }
        pollfd p[] = {{outR, POLLIN, 0}, {errR, POLLIN, 0}, {inW, POLLOUT, 0}}; // fd -1 is skipped
        (void)poll(p, 3, 1000);
        if (deadline != decltype(deadline)::max() && std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "vemk did not end; killed";
            kill(pid, SIGKILL);
            deadline = decltype(deadline)::max();
        }
        for (const pollfd& q : p) {
            if (q.fd < 0 || q.revents == 0) {
                continue;
            }
            if (q.fd == inW) {
                std::size_t step = std::min<std::size_t>(in.data.size() - fed, 65536);
                ssize_t put = write(inW, in.data.data() + fed, step);
                if (put > 0) {
                    fed += static_cast<std::size_t>(put);
                } else if (errno != EAGAIN && errno != EINTR) {
                    fed = in.data.size(); // the reader is gone
                }
            } else {
                char buf[65536];
                ssize_t got = read(q.fd, buf, sizeof buf);
                if (got > 0) {
                    (q.fd == outR ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    close(q.fd);
                    (q.fd == outR ? outR : errR) = -1;
                }
            }
        }
    }
    if (inW >= 0) {
        close(inW);
    }
    r.status = waitFor(pid);
    return r;
}

std::string bytes(std::initializer_list<unsigned char> v) { return {v.begin(), v.end()}; }

// The 516-byte head of a compressed file: length, then the table entries
// given as (byte value, frequency); all other entries 0.
std::string head(std::uint32_t length, std::initializer_list<std::pair<int, int>> entries) {
    std::string h(516, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        h[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    for (auto [value, freq] : entries) {
        h[4 + 2 * static_cast<std::size_t>(value)] = static_cast<char>(freq & 0xFF);
        h[5 + 2 * static_cast<std::size_t>(value)] = static_cast<char>((freq >> 8) & 0xFF);
    }
    return h;
}

const std::string abracadabra = "abracadabra";
const std::string abracadabraPacked =
    head(11, {{0x61, 5}, {0x62, 2}, {0x63, 1}, {0x64, 1}, {0x72, 2}}) +
    bytes({0x00, 0x47, 0x5E, 0xA6, 0xA8, 0x87});

// Seeded data: uniform noise, or skewed byte values that compress.
std::string randomData(std::size_t n, std::uint32_t seed, bool skewed) {
    std::mt19937 gen(seed);
    std::geometric_distribution<unsigned> pick(0.05);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>((skewed ? pick(gen) : gen()) & 0xFF);
    }
    return s;
}

const std::string quietly; // a successful run prints nothing

// The run printed exactly `message` on stdout and nothing on stderr, and
// ended with the status that goes with it. Exactly: a redirected stdout
// never gets the terminal title sequence.
::testing::AssertionResult endedWith(const Outcome& r, const std::string& message) {
    int status = message.empty() ? 0 : failedStatus;
    if (r.status == status && r.out == message && r.err.empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "status " << r.status << ", stdout \"" << r.out << "\", stderr \"" << r.err
           << "\"; wanted " << status << ", \"" << message << "\"";
}

// A pseudo-terminal whose descriptors children do not inherit by accident.
bool openTerminal(int& master, int& slave) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    return true;
}

// What the terminal shows, read until it is as long as `wanted` (or ten
// seconds pass without output).
std::string readScreen(int master, const std::string& wanted) {
    std::string screen;
    pollfd p{master, POLLIN, 0};
    while (screen.size() < wanted.size() && poll(&p, 1, 10000) > 0) {
        char buf[256];
        ssize_t got = read(master, buf, sizeof buf);
        if (got <= 0) {
            break;
        }
        screen.append(buf, static_cast<std::size_t>(got));
    }
    return screen;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vemk-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    Outcome run(const std::vector<std::string>& args, const Stdin& in = {}, int stdoutFd = -1) {
        return runVemk(dir, args, in, stdoutFd);
    }
    fs::path at(const std::string& name) const { return dir / name; }
    void put(const std::string& name, const std::string& content) const {
        std::ofstream(at(name), std::ios::binary) << content;
    }
    std::string get(const std::string& name) const {
        std::ifstream f(at(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (const auto& e : fs::directory_iterator(dir)) {
            all.push_back(e.path().filename().string());
        }
        std::sort(all.begin(), all.end());
        return all;
    }
    int openHere(const std::string& name, int flags) const {
        return open(at(name).c_str(), flags | O_CLOEXEC);
    }

    fs::path dir;
};

using Arguments = Cli;
using Opening = Cli;
using Sharing = Cli;
using Waiting = Cli;
using RoundTrip = Cli;
using Output = Cli;
using Faults = Cli;
using Damage = Cli;
using Stopping = Cli;

TEST_F(Arguments, FewerThanThreeGiveUsageAndMoreAreIgnored) {
    put("in", abracadabra);
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"c"}, {"c", "in"}}) {
        SCOPED_TRACE(testing::Message() << args.size() << " arguments");
        EXPECT_TRUE(endedWith(run(args), usage));
        EXPECT_EQ(names(), std::vector<std::string>{"in"});
    }
    EXPECT_TRUE(endedWith(run({"c", "in", "out", "d", "more"}), quietly));
    EXPECT_EQ(get("out"), abracadabraPacked);
}

TEST_F(Opening, BadModeComesAfterTheOutputIsCreatedOrTruncated) {
    put("in", abracadabra);
    int i = 0;
    for (const std::string mode : {"x", "C", "D", "cc", "", "c ", "dd"}) {
        SCOPED_TRACE("mode \"" + mode + "\"");
        std::string fresh = "fresh" + std::to_string(i++);
        put("junk", "junk to be truncated");
        EXPECT_TRUE(endedWith(run({mode, "in", "junk"}), badMode));
        EXPECT_TRUE(endedWith(run({mode, "in", fresh}), badMode));
        EXPECT_EQ(get("junk"), "");
        EXPECT_TRUE(fs::is_regular_file(at(fresh)) && get(fresh).empty()) << "not created empty";
        EXPECT_EQ(get("in"), abracadabra);
    }
}

// The mode is looked at only after both files are open, so a missing input
// wins over a bad mode too.
TEST_F(Opening, FailureNamesTheFileAndTouchesNothingElse) {
    put("in", abracadabra);
    fs::create_directory(at("sub"));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"c", "missing", "out"}, cannotOpen},   {{"d", "missing", "out"}, cannotOpen},
        {{"x", "missing", "out"}, cannotOpen},   {{"c", "sub", "out"}, cannotOpen},
        {{"d", "sub", "out"}, cannotOpen},       {{"c", "nowhere/in", "out"}, cannotOpen},
        {{"c", "in", "sub"}, cannotOpenOut},     {{"d", "in", "sub"}, cannotOpenOut},
        {{"c", "in", "nowhere/out"}, cannotOpenOut},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
        EXPECT_TRUE(endedWith(run(args), message));
        EXPECT_EQ(names(), (std::vector<std::string>{"in", "sub"}));
        EXPECT_EQ(get("in"), abracadabra);
    }
}

TEST_F(Sharing, OutputThatIsTheInputByAnyNameIsRefused) {
    put("f", abracadabra);
    ASSERT_EQ(link(at("f").c_str(), at("hard").c_str()), 0);
    fs::create_symlink("f", at("soft"));
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"f", "f"}, {"f", "./f"}, {"f", "hard"}, {"hard", "f"}, {"f", "soft"}, {"soft", "f"}};
    for (const auto& [in, out] : pairs) {
        for (const std::string mode : {"c", "d"}) {
            SCOPED_TRACE(mode + " " + in + " " + out);
            EXPECT_TRUE(endedWith(run({mode, in, out}), cannotOpenOut));
            EXPECT_EQ(get("f"), abracadabra);
        }
    }
}

// Another process holding a lock on a separate open of the file: the
// output is never shared, the input only with readers.
TEST_F(Sharing, LocksHeldByOtherProcessesAreHonoured) {
    put("in", abracadabra);
    struct Case {
        const char* locked;
        int how;
        const std::string& message;
    };
    for (const Case& c : {Case{"out", LOCK_EX, cannotOpenOut}, Case{"out", LOCK_SH, cannotOpenOut},
                          Case{"in", LOCK_EX, cannotOpen}, Case{"in", LOCK_SH, quietly}}) {
        SCOPED_TRACE(testing::Message() << c.locked << (c.how == LOCK_EX ? " written" : " read"));
        put("out", "held");
        int held = openHere(c.locked, O_RDWR);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, c.how), 0);
        EXPECT_TRUE(endedWith(run({"c", "in", "out"}), c.message));
        EXPECT_EQ(get("out"), c.message.empty() ? abracadabraPacked : "held");
        EXPECT_EQ(get("in"), abracadabra);
        close(held);
    }
}

TEST_F(Waiting, EachFailingRunTakesExactlyOneByteOfStdin) {
    put("in", abracadabra);
    put("negative", bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    put("keys", "XYZ");
    int keys = openHere("keys", O_RDONLY);
    ASSERT_GE(keys, 0);
    struct Step {
        std::vector<std::string> args;
        std::string message; // empty: the run succeeds and waits for nothing
        off_t offsetAfter;
    };
    const std::vector<Step> steps = {
        {{}, usage, 1},
        {{"c", "in", "packed"}, quietly, 1},
        {{"c", "missing", "o"}, cannotOpen, 2},
        {{"q", "in", "o"}, badMode, 3},
        {{"d", "negative", "o"}, "damaged file: negative length", 3}, // at the end: returns at once
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "step expecting offset " << s.offsetAfter);
        Outcome r = run(s.args, sharedFd(keys));
        EXPECT_TRUE(endedWith(r, s.message));
        EXPECT_EQ(lseek(keys, 0, SEEK_CUR), s.offsetAfter);
        if (s.offsetAfter == 1) {
            char rest[3] = {};
            EXPECT_EQ(pread(keys, rest, sizeof rest, 1), 2);
            EXPECT_EQ(std::string(rest, 2), "YZ");
        }
    }
    close(keys);
}

TEST_F(Waiting, StdinAtItsEndOrClosedEndsTheRunAtOnce) {
    put("in", abracadabra);
    for (const Stdin& in : {Stdin{}, feed(""), closedStdin}) {
        SCOPED_TRACE(testing::Message() << "stdin kind " << in.kind);
        EXPECT_TRUE(endedWith(run({}, in), usage));
        // With fd 0 closed the input would be opened as fd 0; the wait must
        // still not read from it, nor the message land in the output.
        put("out", "junk");
        EXPECT_TRUE(endedWith(run({"x", "in", "out"}, in), badMode));
        EXPECT_EQ(get("out"), "");
        EXPECT_EQ(get("in"), abracadabra);
    }
    // With fds 0 and 1 both closed the output would be opened as fd 1: the
    // message must go nowhere rather than into it.
    put("out", "junk");
    EXPECT_EQ(run({"x", "in", "out"}, closedStdin, closedStdout).status, failedStatus);
    EXPECT_EQ(get("out"), "");
}

TEST_F(Waiting, OnATerminalTheTitleShowsAndOneKeyEndsTheRun) {
    int master = -1, slave = -1;
    if (!openTerminal(master, slave)) {
        GTEST_SKIP() << "no pseudo-terminal available";
    }
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_lflag &= ~static_cast<tcflag_t>(ECHO); // typed keys stay out of the captured screen
    before.c_lflag |= ICANON;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    // Two keys typed ahead: the run takes one and leaves the other.
    ASSERT_EQ(write(master, "kq", 2), 2);

    Outcome r = run({"c", "missing", "out"}, sharedFd(slave), slave);
    EXPECT_EQ(r.status, failedStatus);
    EXPECT_EQ(r.err, "");

    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO))
        << "line mode not restored";

    EXPECT_EQ(readScreen(master, cannotOpen + title), cannotOpen + title);

    after.c_lflag &= ~static_cast<tcflag_t>(ICANON); // to read the leftover key without a line end
    after.c_cc[VMIN] = 0;
    after.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &after), 0);
    char rest[4] = {};
    EXPECT_EQ(read(slave, rest, sizeof rest), 1);
    EXPECT_EQ(rest[0], 'q');
    close(slave);
    close(master);
}

TEST_F(RoundTrip, CorpusFiles) {
    const fs::path corpus = VEMK_CORPUS_DIR;
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "no corpus at " << corpus;
    }
    for (const auto& e : fs::directory_iterator(corpus)) {
        if (!e.is_regular_file()) {
            continue;
        }
        SCOPED_TRACE(e.path().string());
        EXPECT_TRUE(endedWith(run({"c", e.path().string(), "packed"}), quietly));
        EXPECT_TRUE(endedWith(run({"d", "packed", "restored"}), quietly));
        fs::copy_file(e.path(), at("original"), fs::copy_options::overwrite_existing);
        const std::string original = get("original");
        EXPECT_TRUE(get("restored") == original) << "restored file differs";
        if (original.size() > 3000) { // every corpus file has well under 8 bits of entropy a byte
            EXPECT_LT(fs::file_size(at("packed")), original.size());
        }
    }
}

TEST_F(RoundTrip, SmallAndGeneratedFiles) {
    const std::uint32_t seed = 20240611;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const std::vector<std::string> inputs = {
        bytes({0x00}), bytes({0xFF}), bytes({0x00, 0xFF}), "abc", bytes({0xFF, 0xFF, 0xFF}),
        std::string(1000, 'A'), randomData(4096, seed, false), randomData(65535, seed, true),
        randomData(70000, seed + 1, true)};
    for (const std::string& in : inputs) {
        SCOPED_TRACE(testing::Message() << in.size() << "-byte input");
        put("in", in);
        EXPECT_TRUE(endedWith(run({"c", "in", "packed"}), quietly));
        EXPECT_TRUE(endedWith(run({"d", "packed", "restored"}), quietly));
        EXPECT_TRUE(get("restored") == in) << "restored file differs";
    }
}

TEST_F(Output, CompressedFilesAreByteExact) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", std::string(520, '\0')},
        {"A", head(1, {{0x41, 1}}) + bytes({0x00, 0x00, 0x00, 0x00})},
        {"AB", head(2, {{0x41, 1}, {0x42, 1}}) + bytes({0x00, 0x3F, 0xFF, 0xFF})},
        {abracadabra, abracadabraPacked},
    };
    for (const auto& [in, packed] : cases) {
        SCOPED_TRACE("input \"" + in + "\"");
        put("in", in);
        put("packed", "junk");
        EXPECT_TRUE(endedWith(run({"c", "in", "packed"}), quietly));
        EXPECT_EQ(get("packed"), packed);
        EXPECT_TRUE(endedWith(run({"d", "packed", "restored"}), quietly));
        EXPECT_EQ(get("restored"), in);
    }
}

TEST_F(Faults, ReadAndWriteErrorsAreReported) {
    put("in", abracadabra);
    put("packed", abracadabraPacked);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"c", "in", "/dev/full"}, "cannot write out file"},
        {{"d", "packed", "/dev/full"}, "cannot write out file"},
        {{"c", "/proc/self/mem", "out"}, "cannot read file"},
        {{"d", "/proc/self/mem", "out"}, "cannot read file"},
        // An endless input: its head announces nothing, so nothing more is read.
        {{"d", "/dev/zero", "out"}, ""},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
        put("out", "junk");
        EXPECT_TRUE(endedWith(run(args), message));
        EXPECT_EQ(get("out"), args[2] == "out" ? "" : "junk");
    }
}

// A write that fails part-way through a regular file: the run reports it
// and leaves the output empty, not cut short. The file size limit is
// inherited by the run, and SIGXFSZ with its default action: the run must
// not be ended by it.
TEST_F(Faults, OutputCutOffByTheFileSizeLimitIsEmptied) {
    const std::string data = randomData(70000, 11, true);
    put("in", data);
    EXPECT_TRUE(endedWith(run({"c", "in", "packed"}), quietly));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Outcome compressed = run({"c", "in", "out1"});
    Outcome restored = run({"d", "packed", "out2"});
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(endedWith(compressed, "cannot write out file"));
    EXPECT_TRUE(endedWith(restored, "cannot write out file"));
    EXPECT_EQ(fs::file_size(at("out1")), 0u);
    EXPECT_EQ(fs::file_size(at("out2")), 0u);
}

// An output pipe whose reader has gone: the write fails like any other,
// with its message and status, instead of a signal ending the run.
TEST_F(Faults, OutputPipeWithoutAReaderIsAFailedWrite) {
    put("in", randomData(1 << 20, 5, false));
    ASSERT_EQ(mkfifo(at("pipe").c_str(), 0600), 0);
    std::thread reader([this] { close(openHere("pipe", O_RDONLY)); }); // opens, then goes away
    Outcome r = run({"c", "in", "pipe"});
    reader.join();
    EXPECT_TRUE(endedWith(r, "cannot write out file"));
}

TEST_F(Faults, PipedInputIsReadToItsEnd) {
    const std::uint32_t seed = 7;
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const std::string data = randomData(1 << 20, seed, true);
    EXPECT_TRUE(endedWith(run({"c", "/dev/stdin", "packed"}, feed(data)), quietly));
    const std::string packed = get("packed");
    ASSERT_GE(packed.size(), 516u);
    EXPECT_EQ(packed.substr(0, 4), bytes({0x00, 0x00, 0x10, 0x00})) << "length field is not 2^20";
    EXPECT_TRUE(endedWith(run({"d", "/dev/stdin", "restored"}, feed(packed)), quietly));
    EXPECT_TRUE(get("restored") == data) << "restored file differs";

    // A socket as standard input cannot be opened by name; it is read as it is.
    int sockets[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    std::thread writer([&] {
        for (std::size_t at = 0; at < data.size();) {
            ssize_t put = write(sockets[1], data.data() + at, data.size() - at);
            if (put <= 0) {
                break;
            }
            at += static_cast<std::size_t>(put);
        }
        close(sockets[1]);
    });
    EXPECT_TRUE(endedWith(run({"c", "/dev/stdin", "fromSocket"}, sharedFd(sockets[0])), quietly));
    writer.join();
    close(sockets[0]);
    EXPECT_TRUE(get("fromSocket") == packed) << "compressed from a socket differs";
}

// Both directions run in the address space of their input and output and
// 32 MiB more (ulimit -v), on as many cores as there are: no room is kept
// for the worst case. A build that cannot even start in that limit (the
// sanitizers' shadow memory, an emulator's own buffers) is not measured.
TEST_F(Faults, InputOutputAnd32MiBOfAddressSpaceAreEnough) {
    put("in", randomData(std::size_t{24} << 20, 31, true));
    ASSERT_TRUE(endedWith(run({"c", "in", "packed"}), quietly));
    const std::uintmax_t in = fs::file_size(at("in")), packed = fs::file_size(at("packed"));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    auto limited = [&](std::uintmax_t bytes, const std::vector<std::string>& args) {
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(bytes);
        EXPECT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
        Outcome r = run(args);
        setrlimit(RLIMIT_AS, &saved);
        return r;
    };
    const std::uintmax_t bound = in + packed + (std::uintmax_t{32} << 20);
    if (limited(bound, {}).status != failedStatus) {
        GTEST_SKIP() << "this build cannot even print its usage in " << (bound >> 20) << " MiB of address space";
    }
    EXPECT_TRUE(endedWith(limited(bound, {"c", "in", "again"}), quietly));
    EXPECT_TRUE(get("again") == get("packed")) << "compressed differently";
    EXPECT_TRUE(endedWith(limited(bound, {"d", "packed", "restored"}), quietly));
    EXPECT_TRUE(get("restored") == get("in")) << "restored differently";
}

// 2^31 - 1 bytes is the largest length the head can hold and must be
// accepted, but coding that much is too slow for a unit test.
TEST_F(Faults, InputOfTwoGibibytesIsRefusedBeforeReading) {
    int big = openHere("big", O_WRONLY | O_CREAT);
    ASSERT_GE(big, 0);
    ASSERT_EQ(ftruncate(big, off_t{1} << 31), 0);
    close(big);
    put("out", "junk");
    EXPECT_TRUE(endedWith(run({"c", "big", "out"}), "file too large"));
    EXPECT_EQ(get("out"), "");
}

TEST_F(Damage, DecompressionRefusesDamageAndToleratesTheHarmless) {
    const std::string packed = abracadabraPacked;
    const std::string negative = "damaged file: negative length";
    const std::string table = "damaged file: bad frequency table";
    const std::string cut = "damaged file: coded stream cut short";
    const std::string stream = "damaged file: bad coded stream";
    const std::string zeros = bytes({0, 0, 0, 0});
    // A stream long enough to be decoded while it is still being read.
    const std::string long_ = randomData(9 << 20, 41, false);
    put("long", long_);
    ASSERT_TRUE(endedWith(run({"c", "long", "long.vemk"}), ""));
    const std::string longPacked = get("long.vemk");
    std::string longSpoiled = longPacked;
    longSpoiled.replace(longSpoiled.size() / 2, 64, std::string(64, '\xFF'));
    struct Case {
        const char* name;
        std::string file;
        std::string message; // empty: succeeds and restores `restored`
        std::string restored;
    };
    const std::vector<Case> cases = {
        {"length -1", bytes({0xFF, 0xFF, 0xFF, 0xFF}) + packed.substr(4), negative, ""},
        {"length -2^31", bytes({0x00, 0x00, 0x00, 0x80}) + packed.substr(4), negative, ""},
        {"table all zero", head(5, {}) + zeros, table, ""},
        {"cut inside the table", packed.substr(0, 100), table, ""},
        {"table total 65537", head(1, {{0x41, 0x8000}, {0x42, 0x8001}}) + zeros, table, ""},
        {"table total 131070", head(1, {{0x41, 0xFFFF}, {0x42, 0xFFFF}}) + zeros, table, ""},
        {"stream one byte short", packed.substr(0, packed.size() - 1), cut, ""},
        {"head only", packed.substr(0, 516), cut, ""},
        {"target beyond the table", packed.substr(0, 517) + std::string(5, '\xFF'), stream, ""},
        {"target beyond a one-symbol table", head(1, {{0x41, 1}}) + bytes({0, 0xFF, 0xFF, 0xFF}),
         stream, ""},
        {"empty file", "", "", ""},
        {"length 0, any table", zeros + std::string(512, '\xFF'), "", ""},
        {"bytes after the stream", packed + "trailing bytes\xFF\xFF", "", abracadabra},
        {"table total 65536", head(1, {{0x41, 0x8000}, {0x42, 0x8000}}) + zeros, "", "A"},
        {"long stream one byte short", longPacked.substr(0, longPacked.size() - 1), cut, ""},
        {"long stream with a target beyond the table half-way", longSpoiled, stream, ""},
        {"long stream with bytes after it", longPacked + "trailing", "", long_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put("damaged", c.file);
        put("out", "junk that a failed run must not leave");
        Outcome r = run({"d", "damaged", "out"});
        EXPECT_TRUE(endedWith(r, c.message));
        EXPECT_EQ(get("out"), c.restored);
    }
}

// A message never lands among the data: with standard output as the
// output file or the input file, it goes to standard error.
TEST_F(Output, MessageGoesToStandardErrorWhenStandardOutputIsADataFile) {
    put("cut", abracadabraPacked.substr(0, abracadabraPacked.size() - 1));
    put("f", abracadabra);
    put("r.txt", "old");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string stdoutFile;
        int flags;
        std::string message;
        std::string afterwards; // of stdoutFile
    };
    const Case cases[] = {
        {"d cut /dev/stdout > r.txt", {"d", "cut", "/dev/stdout"}, "r.txt", O_WRONLY | O_TRUNC,
         "damaged file: coded stream cut short", ""},
        {"c f /dev/stdout 1<>f", {"c", "f", "/dev/stdout"}, "f", O_RDWR, cannotOpenOut, abracadabra},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = openHere(c.stdoutFile, c.flags);
        ASSERT_GE(fd, 0);
        Outcome r = run(c.args, {}, fd);
        close(fd);
        EXPECT_EQ(r.status, failedStatus);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(get(c.stdoutFile), c.afterwards);
    }
}

// Stopped at any moment by any signal that ends it (a stop, a limit, a
// timer, a crash), a run leaves its output complete or empty, never a part
// of it; it ends with status 0 or by the signal. Each signal stops one run
// of each mode: one as soon as its output starts to grow, in the middle of
// writing it, and one at a time spread over the run.
TEST_F(Stopping, ASignalLeavesTheOutputCompleteOrEmpty) {
    put("in", randomData(4 << 20, 23, true));
    ASSERT_TRUE(endedWith(run({"c", "in", "whole"}), quietly));
    const std::string whole = get("whole");
    const std::string in = get("in");
    const int signals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM,
                           SIGPROF, SIGXCPU, SIGSEGV, SIGBUS,  SIGILL,  SIGFPE,  SIGABRT};
    const int runs = 2 * static_cast<int>(std::size(signals));
    // No core files from the crash signals; their default action still runs.
    rlimit cores{};
    getrlimit(RLIMIT_CORE, &cores);
    const rlimit noCores{0, cores.rlim_max};
    setrlimit(RLIMIT_CORE, &noCores);
    int stopped = 0;
    for (int i = 0; i < runs; ++i) {
        const bool compress = i % 2 == 0;
        const bool whileWriting = i % 4 < 2;
        const int sig = signals[i / 2];
        SCOPED_TRACE(testing::Message() << (compress ? "c" : "d") << ", signal " << sig
                                        << (whileWriting ? " while writing" : " after ") << (whileWriting ? 0 : 5 * i));
        fs::remove(at("out"));
        int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
        pid_t pid = startVemk(dir, {compress ? "c" : "d", compress ? "in" : "whole", "out"}, nullFd, nullFd);
        close(nullFd);
        ASSERT_GT(pid, 0);
        if (whileWriting) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            struct stat st {};
            while ((stat(at("out").c_str(), &st) != 0 || st.st_size == 0) && std::chrono::steady_clock::now() < deadline) {
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5 * i));
        }
        kill(pid, sig);
        int status = waitFor(pid);
        std::error_code missing;
        auto size = fs::file_size(at("out"), missing);
        // Stopped after its output was complete and closed, a run keeps it.
        const bool complete = !missing && get("out") == (compress ? whole : in);
        if (status == 0) {
            EXPECT_TRUE(complete) << "a complete run left a different file";
        } else {
            EXPECT_EQ(status, 1000 + sig);
            EXPECT_TRUE(missing || size == 0 || complete) << size << " bytes left by a stopped run";
            ++stopped;
        }
    }
    setrlimit(RLIMIT_CORE, &cores);
    EXPECT_GT(stopped, runs / 2);
}

// Ctrl-C during the wait for a key gives the terminal back its line mode
// and echo, and the run still ends by the signal.
TEST_F(Waiting, InterruptedOnATerminalTheModeIsRestored) {
    int master = -1, slave = -1;
    if (!openTerminal(master, slave)) {
        GTEST_SKIP() << "no pseudo-terminal available";
    }
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    pid_t pid = startVemk(dir, {"c", "missing", "out"}, slave, slave);
    ASSERT_GT(pid, 0);
    // Once the title shows, the run is waiting with the mode changed.
    EXPECT_EQ(readScreen(master, cannotOpen + title), cannotOpen + title);
    // The mode changes just after the title; give the run a moment.
    termios during{};
    for (int tries = 0; tries < 500; ++tries) {
        ASSERT_EQ(tcgetattr(slave, &during), 0);
        if ((during.c_lflag & (ICANON | ECHO)) == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0U) << "the wait did not change the mode";
    kill(pid, SIGINT);
    EXPECT_EQ(waitFor(pid), 1000 + SIGINT);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO)) << "mode not restored";
    close(slave);
    close(master);
}

} // namespace
