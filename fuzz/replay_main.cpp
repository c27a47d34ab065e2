// Runs a fuzz target's LLVMFuzzerTestOneInput once over each file named on
// the command line, or over every file in each directory named, so that
// the ordinary test build replays the seeds without libFuzzer.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The input being run, named when a check aborts.
const char* volatile current = nullptr;

void nameInput(int sig) {
    const char* name = current;
    if (name != nullptr) {
        const char prefix[] = "while replaying ";
        (void)!write(STDERR_FILENO, prefix, sizeof prefix - 1);
        (void)!write(STDERR_FILENO, name, std::strlen(name));
        (void)!write(STDERR_FILENO, "\n", 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool runOne(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    current = path.c_str();
    // A heap copy of exactly the input's size, so that a sanitizer build
    // sees any read past its end, as libFuzzer would.
    auto copy = std::make_unique<std::uint8_t[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    std::copy(bytes.begin(), bytes.end(), copy.get());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    current = nullptr;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGABRT, nameInput);
    std::signal(SIGSEGV, nameInput);
    std::signal(SIGFPE, nameInput);
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(arg);
        }
        for (const auto& file : files) {
            if (!runOne(file)) {
                return 1;
            }
            ++runs;
        }
    }
    std::printf("replayed %zu inputs\n", runs);
    // Nothing replayed means the seeds are missing, not that all is well.
    return runs > 0 ? 0 : 1;
}
