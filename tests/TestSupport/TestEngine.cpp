#include "TestSupport/TestEngine.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport/BackgroundProcess.hpp"
#include "TestSupport/NetworkPorts.hpp"
#include "TestSupport/TempDir.hpp"

namespace corvane::testing {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void requireEngine() {
    auto path = enginePath();
    if (::access(path.c_str(), X_OK) != 0) {
        throw std::runtime_error("the engine is not installed at " + path.string() +
                                 ": run scripts/install-engine.sh, or point CORVANE_ENGINE at a sing-box binary");
    }
}

}  // namespace

std::filesystem::path enginePath() {
    if (const char* path = std::getenv("CORVANE_ENGINE"); path && *path) return path;
    return std::filesystem::path(CORVANE_SOURCE_DIR) / "build" / "engine" / "sing-box";
}

std::string runEngineTool(const std::vector<std::string>& arguments) {
    requireEngine();
    std::vector<std::string> argv{enginePath().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto args = pointers(argv);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("sing-box " + (arguments.empty() ? std::string() : arguments[0]) + " failed");
    }
    return text;
}

TestEngine::TestEngine(std::filesystem::path directory, const std::string& config, std::vector<std::string> environment)
    : directory_(std::move(directory)) {
    requireEngine();
    std::filesystem::create_directories(directory_);
    writeFile(directory_ / "config.json", config);
    process_ = std::make_unique<BackgroundProcess>(
        std::vector<std::string>{enginePath().string(), "run", "-D", directory_.string(), "-c", "config.json", "--disable-color"},
        directory_ / "engine.log", std::move(environment));
}

TestEngine::~TestEngine() = default;

bool TestEngine::isRunning() { return process_->isRunning(); }

int TestEngine::stop() { return process_->stop(); }

int TestEngine::pid() const { return process_->pid(); }

std::string TestEngine::log() const { return process_->log(); }

void TestEngine::waitUntilListening(std::uint16_t port, std::chrono::milliseconds limit) {
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

}  // namespace corvane::testing
