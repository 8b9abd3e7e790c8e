// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/Engine.hpp"

#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>

#include <unistd.h>

#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/TempDir.hpp"

namespace corvane::fleet {

namespace {

void requireEngine() {
    auto path = enginePath();
    if (::access(path.c_str(), X_OK) != 0) {
        throw std::runtime_error("the engine is not installed at " + path.string() +
                                 ": run scripts/install-engine.sh, or point CORVANE_ENGINE at a sing-box binary");
    }
}

}  // namespace

void startOnFreshPorts(const std::function<void()>& start) {
    for (int attempt = 1;; ++attempt) {
        try {
            start();
            return;
        } catch (const std::runtime_error& e) {
            if (attempt == 5 || std::string_view(e.what()).find("address already in use") == std::string_view::npos) throw;
        }
    }
}

std::filesystem::path enginePath() {
    if (const char* path = std::getenv("CORVANE_ENGINE"); path && *path) return path;
    return std::filesystem::path(CORVANE_SOURCE_DIR) / "build" / "engine" / "sing-box";
}

std::string runEngineTool(const std::vector<std::string>& arguments) {
    requireEngine();
    std::vector<std::string> argv{enginePath().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto result = runProcess(argv);
    if (result.exitStatus != 0) {
        throw std::runtime_error("sing-box " + (arguments.empty() ? std::string() : arguments[0]) + " failed: " + result.err);
    }
    return result.out;
}

Engine::Engine(std::filesystem::path directory, const std::string& config, std::vector<std::string> environment)
    : directory_(std::move(directory)) {
    requireEngine();
    std::filesystem::create_directories(directory_);
    writeFile(directory_ / "config.json", config);
    process_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{enginePath().string(), "run", "-D", directory_.string(), "-c", "config.json", "--disable-color"},
        directory_ / "engine.log", std::move(environment));
}

Engine::~Engine() = default;

bool Engine::isRunning() { return process_->isRunning(); }

int Engine::stop() { return process_->stop(); }

int Engine::pid() const { return process_->pid(); }

std::string Engine::log() const { return process_->log(); }

void Engine::waitUntilListening(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!isRunning()) {
            throw std::runtime_error("the engine exited with status " + std::to_string(process_->exitStatus()) + ":\n" + log());
        }
        if (waitForTcpPort(port, std::chrono::milliseconds(0))) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("the engine did not listen on port " + std::to_string(port) + " in time:\n" + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace corvane::fleet
