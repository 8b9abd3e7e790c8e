#include "Corvane/CommandLine/Commands.hpp"

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::cli {

namespace {

constexpr std::string_view kUsage =
    "Usage: corvanectl COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  --help       Show this help and exit.\n"
    "  --version    Print the version of corvanectl and exit.\n";

}  // namespace

int run(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string_view command = args.front();
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return 0;
    }
    if (command == "--version" || command == "version") {
        out << "corvanectl " << CORVANE_VERSION << "\n";
        return 0;
    }
    err << "corvanectl: unknown command \"" << command << "\"; see corvanectl --help\n";
    return 2;
}

}  // namespace corvane::cli
