#include <malloc.h>

#include <iostream>
#include <string_view>
#include <vector>

#include "Corvane/CommandLine/Commands.hpp"

int main(int argc, char** argv) {
    // One arena for all threads: the few helper threads (the network monitor) allocate
    // little, and a long-running `watch` should not keep an arena per thread resident.
    ::mallopt(M_ARENA_MAX, 1);
    std::vector<std::string_view> args(argv + 1, argv + argc);
    return corvane::cli::run(args, std::cin, std::cout, std::cerr);
}
