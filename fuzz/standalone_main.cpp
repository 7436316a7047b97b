// Runs a fuzz target over stored inputs instead of under libFuzzer, with any compiler:
// every argument is a file, or a folder whose files (in name order, subfolders
// included) are each run once. `make test` replays the seed corpus and every input in
// fuzz/regressions/<target>/ this way. A failing input stops the run: the target's
// check aborts, or the input crashes it, and the path of the input is printed first.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The input being run, for the signal handler.
char current_input[4096] = "";

void report_failing_input(int signal_number) {
    static constexpr char prefix[] = "failing input: ";
    (void)!::write(STDERR_FILENO, prefix, sizeof prefix - 1);
    (void)!::write(STDERR_FILENO, current_input, std::strlen(current_input));
    (void)!::write(STDERR_FILENO, "\n", 1);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

std::vector<fs::path> inputs_of(const fs::path& argument) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(argument)) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(argument)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
    } else {
        inputs.push_back(argument);
    }
    return inputs;
}

bool run_input(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    // Exactly as many bytes as the input has, so that a read past its end is a read
    // past the allocation (caught when built with a sanitizer).
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::snprintf(current_input, sizeof current_input, "%s", path.c_str());
    (void)LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    for (int signal_number : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(signal_number, report_failing_input);
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        if (!fs::exists(argv[i])) {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            return 2;
        }
        for (const fs::path& input : inputs_of(argv[i])) {
            if (!run_input(input)) return 2;
            ++count;
        }
    }
    std::printf("%s: %zu inputs replayed\n", fs::path(argv[0]).filename().c_str(), count);
    return 0;
}
