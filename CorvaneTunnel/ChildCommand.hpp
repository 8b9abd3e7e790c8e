// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace corvane {

// What a finished command printed and how it ended.
struct ChildCommandResult {
    int exitStatus = -1;  // 128 + the signal when a signal ended it
    std::string out, err;
    bool timedOut = false;
};

// Runs `argv` (argv[0] a path, or a name looked up on PATH) with `input` on its
// standard input, and waits for it, at most `limit`: then it is killed. Safe
// from any thread of a process with threads. Throws std::runtime_error when it
// cannot be started at all.
ChildCommandResult runChildCommand(const std::vector<std::string>& argv, const std::string& input,
                                   std::chrono::milliseconds limit);

}  // namespace corvane
