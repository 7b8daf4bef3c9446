// Replays saved fuzz inputs without the fuzzing engine: every file under the folders named
// goes once through LLVMFuzzerTestOneInput, in an exact-size heap copy as the engine hands
// it over. A failing input aborts after its name is printed, as does one running past the
// fuzzer's 10 s limit.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::signal(SIGALRM, [](int) { std::fputs("timeout: the input above ran too long\n", stderr), std::abort(); });
    int count = 0;
    std::error_code missing;  // a target without saved failures has no folder for them
    for (int i = 1; i < argc; ++i)
        for (const auto& e : std::filesystem::recursive_directory_iterator(argv[i], missing)) {
            if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
            std::ifstream in(e.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "replay %s\n", e.path().c_str());
            alarm(10), LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), alarm(0), ++count;
        }
    std::printf("%d inputs passed\n", count);
    return count == 0;
}
