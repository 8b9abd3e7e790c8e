// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a fuzz target over files, as the normal build's tests do: every file of the
// seed corpus and of past findings. The target aborts on a broken property, so the
// last name printed is the input that broke it.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else if (fs::exists(arg)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", arg.c_str());
            return 2;
        }
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) {
        std::fprintf(stderr, "nothing to replay\n");
        return 2;
    }
    for (const auto& file : files) {
        std::fprintf(stderr, "%s\n", file.c_str());
        std::ifstream in(file, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // libFuzzer hands over a buffer of exactly the input's size: so does this, for ASan to see overreads.
        auto* copy = new std::uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)];
        std::copy(bytes.begin(), bytes.end(), copy);
        LLVMFuzzerTestOneInput(copy, bytes.size());
        delete[] copy;
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
