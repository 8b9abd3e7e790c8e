// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace corvane::fleet {

// A program running beside this one, its output in a log file. Stopped
// (SIGTERM, then SIGKILL) when destroyed, and killed if this process dies.
class BackgroundProcess {
public:
    // argv[0] is a path. `environment`: "NAME=value" entries that replace or
    // add to this process's own environment.
    BackgroundProcess(std::vector<std::string> argv, std::filesystem::path logFile,
                      std::vector<std::string> environment = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool isRunning();
    // Stops it: SIGTERM, then SIGKILL after `grace`. Its exit status, or minus the signal that ended it.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));
    // Waits up to `limit` for it to end on its own; true when it did.
    bool waitForExit(std::chrono::milliseconds limit);
    int exitStatus() const { return exitStatus_; }
    int pid() const { return pid_; }
    std::string log() const;

private:
    void reap(int status);

    std::filesystem::path logFile_;
    int pid_ = -1;
    bool exited_ = false;
    int exitStatus_ = 0;
};

}  // namespace corvane::fleet
