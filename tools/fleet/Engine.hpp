// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane::fleet {

class BackgroundProcess;

// Ports are picked (freeTcpPort) before the engine binds them, so another program may
// take one in between: runs `start`, which picks its ports anew each time, again while
// the engine it started found an address taken (a few times at most).
void startOnFreshPorts(const std::function<void()>& start);

// The sing-box binary the fleet runs: $CORVANE_ENGINE, or else the one
// scripts/install-engine.sh builds into build/engine/ of the checkout.
std::filesystem::path enginePath();

// Runs the engine with `arguments` (e.g. {"generate", "reality-keypair"}) and
// returns its standard output; throws when it fails.
std::string runEngineTool(const std::vector<std::string>& arguments);

// One real engine process: `sing-box run` with a configuration in its own
// directory, its output kept in engine.log there. Stopped (SIGTERM, then
// SIGKILL) when destroyed, and killed if the process that started it dies.
class Engine {
public:
    // `environment`: "NAME=value" entries added to this process's own environment.
    Engine(std::filesystem::path directory, const std::string& config, std::vector<std::string> environment = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Returns once the engine accepts TCP connections on 127.0.0.1:`port`;
    // throws with the engine's log when it exits or takes longer than `limit`.
    void waitUntilListening(std::uint16_t port, std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool isRunning();
    // Stops the engine; its exit status, or minus the signal that ended it.
    int stop();

    int pid() const;
    const std::filesystem::path& directory() const { return directory_; }
    std::string log() const;

private:
    std::filesystem::path directory_;
    std::unique_ptr<BackgroundProcess> process_;
};

}  // namespace corvane::fleet
