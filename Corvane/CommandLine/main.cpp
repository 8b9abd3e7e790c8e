#include <iostream>
#include <string_view>

#include "Corvane/CommandLine/Commands.hpp"

int main(int argc, char** argv) {
    return corvane::cli::run(argc, argv, std::cout, std::cerr);
}
