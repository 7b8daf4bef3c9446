// Replays saved fuzz inputs without the fuzzing engine: every file under the directories
// (or the files) named goes once through LLVMFuzzerTestOneInput, in an exact-size heap copy
// as the engine hands it over. A failing input aborts (sanitizer report or failed check)
// after its name is printed; one running past the fuzzer's 10 s limit fails as a timeout.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace fs = std::filesystem;

namespace {
constexpr unsigned INPUT_SECONDS = 10;

void timed_out(int) {
    static const char message[] = "timeout: the input above ran longer than the limit\n";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    abort();
}
}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path p = argv[i];
        if (fs::is_regular_file(p)) {
            inputs.push_back(p);
        } else if (fs::is_directory(p)) {
            for (const auto& e : fs::recursive_directory_iterator(p))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.') inputs.push_back(e.path());
        }
    }
    std::sort(inputs.begin(), inputs.end());
    signal(SIGALRM, timed_out);

    for (const auto& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay %s\n", p.c_str());
        auto* data = new uint8_t[bytes.size()];
        std::copy(bytes.begin(), bytes.end(), data);
        alarm(INPUT_SECONDS);
        LLVMFuzzerTestOneInput(data, bytes.size());
        alarm(0);
        delete[] data;
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs found\n");
        return 1;
    }
    std::printf("%zu passed, 0 failed\n", inputs.size());
    return 0;
}
