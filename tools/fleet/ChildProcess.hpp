// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

namespace corvane::fleet {

struct ProcessResult {
    int exitStatus = -1;  // the exit code, or 128 + the signal that ended the process
    std::string out;
    std::string err;
};

// Runs argv[0] (searched in PATH when it has no "/") with `input` on its
// standard input, waits for it and collects both output streams.
// Throws std::runtime_error when the process cannot be started.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input = {});

}  // namespace corvane::fleet
