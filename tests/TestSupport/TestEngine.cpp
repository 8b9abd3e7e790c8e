#include "TestSupport/TestEngine.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport/NetworkPorts.hpp"
#include "TestSupport/TempDir.hpp"

extern char** environ;

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

    std::vector<std::string> argv{enginePath().string(), "run", "-D", directory_.string(), "-c", "config.json",
                                  "--disable-color"};
    // The given entries replace inherited ones of the same name: Go reads the first of duplicates.
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> envp;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        bool replaced = std::any_of(environment.begin(), environment.end(),
                                    [&](const std::string& given) { return nameOf(given) == nameOf(entry); });
        if (!replaced) envp.push_back(std::move(entry));
    }
    envp.insert(envp.end(), environment.begin(), environment.end());
    auto args = pointers(argv);
    auto env = pointers(envp);
    const std::string logPath = (directory_ / "engine.log").string();
    const pid_t parent = ::getpid();

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
}

TestEngine::~TestEngine() { stop(); }

void TestEngine::reap(int status) {
    exited_ = true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool TestEngine::isRunning() {
    if (exited_) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) reap(status);
    return !exited_;
}

int TestEngine::stop() {
    if (pid_ <= 0 || !isRunning()) return exitStatus_;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            reap(status);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitStatus_;
}

std::string TestEngine::log() const {
    try {
        return readFile(directory_ / "engine.log");
    } catch (const std::exception&) {
        return {};
    }
}

void TestEngine::waitUntilListening(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (!isRunning()) {
            throw std::runtime_error("the engine exited with status " + std::to_string(exitStatus_) + ":\n" + log());
        }
        if (waitForTcpPort(port, std::chrono::milliseconds(0))) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("the engine did not listen on port " + std::to_string(port) + " in time:\n" + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace corvane::testing
