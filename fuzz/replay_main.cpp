// Runs a fuzz target once over every file of its corpus (argument 1), as
// libFuzzer would replay it, so that ordinary builds (gcc, sanitizers, ARM)
// check each seed too. A broken invariant traps and fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    std::set<std::filesystem::path> files; // sorted: the same order everywhere
    for (const auto &entry : std::filesystem::directory_iterator(argc == 2 ? argv[1] : "."))
        files.insert(entry.path());
    for (const auto &path : files) {
        fprintf(stderr, "%s\n", path.c_str());
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
