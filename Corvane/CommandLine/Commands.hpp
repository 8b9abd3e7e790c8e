#pragma once

#include <iosfwd>

namespace corvane::cli {

// Runs one corvanectl invocation; returns the exit status.
int run(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace corvane::cli
