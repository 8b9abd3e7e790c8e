// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/BackgroundProcess.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/fleet/TempDir.hpp"

extern char** environ;

namespace corvane::fleet {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

BackgroundProcess::BackgroundProcess(std::vector<std::string> argv, std::filesystem::path logFile,
                                     std::vector<std::string> environment)
    : logFile_(std::move(logFile)) {
    if (argv.empty()) throw std::invalid_argument("BackgroundProcess needs a program");
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
    const std::string logPath = logFile_.string();
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
        // The test's listening sockets and pipes stay with the test: a server left
        // holding them would keep ports bound and pipes open past the test's end.
        ::close_range(3, ~0U, 0);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
}

BackgroundProcess::~BackgroundProcess() { stop(); }

void BackgroundProcess::reap(int status) {
    exited_ = true;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

bool BackgroundProcess::isRunning() {
    if (exited_ || pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) reap(status);
    return !exited_;
}

bool BackgroundProcess::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (isRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int BackgroundProcess::stop(std::chrono::milliseconds grace) {
    if (!isRunning()) return exitStatus_;
    ::kill(pid_, SIGTERM);
    if (!waitForExit(grace)) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reap(status);
    }
    return exitStatus_;
}

std::string BackgroundProcess::log() const {
    try {
        return readFile(logFile_);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace corvane::fleet
