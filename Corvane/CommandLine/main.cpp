// SPDX-License-Identifier: GPL-3.0-or-later
#include <iostream>
#include <string_view>
#include <vector>

#include "Corvane/CommandLine/Commands.hpp"

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    return corvane::cli::run(args, std::cin, std::cout, std::cerr);
}
