// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/NetworkNamespaces.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "tools/fleet/ChildProcess.hpp"

namespace corvane::testing {

using fleet::ProcessResult;
using fleet::runProcess;

void inNetworkNamespace(const std::string& name, const std::function<void()>& work) {
    if (name.empty()) return work();
    // The calling thread itself moves there and back: a process forked from a
    // thread that then ends would receive its parent-death signal at once.
    int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (home < 0 || target < 0 || ::setns(target, CLONE_NEWNET) != 0) {
        std::string failure = "cannot enter network namespace " + name + ": " + std::strerror(errno);
        for (int fd : {home, target}) {
            if (fd >= 0) ::close(fd);
        }
        throw std::runtime_error(failure);
    }
    ::close(target);
    struct Return {
        int fd;
        ~Return() {
            if (::setns(fd, CLONE_NEWNET) != 0) std::abort();  // never run the rest of the tests elsewhere
            ::close(fd);
        }
    } back{home};
    work();
}

std::string runCommand(const std::vector<std::string>& argv) {
    try {
        auto result = runProcess(argv);
        if (result.exitStatus == 0) return {};
        std::string command;
        for (const auto& a : argv) command += (command.empty() ? "" : " ") + a;
        return "`" + command + "` failed: " + result.err;
    } catch (const std::exception& e) {
        return e.what();
    }
}

NetworkNamespaces::NetworkNamespaces(std::string prefix) : prefix_(std::move(prefix)) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix_) || name.size() < prefix_.size() + 2) continue;
        const std::string pid = name.substr(prefix_.size(), name.size() - prefix_.size() - 1);
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (::kill(std::stoi(pid), 0) != 0 && errno == ESRCH) runCommand({"ip", "netns", "del", name});
    }
}

NetworkNamespaces::~NetworkNamespaces() {
    for (const auto& name : made_) runCommand({"ip", "netns", "del", name});
}

std::string NetworkNamespaces::add(char letter) {
    const std::string name = prefix_ + std::to_string(::getpid()) + letter;
    if (auto error = runCommand({"ip", "netns", "add", name}); !error.empty()) {
        throw std::runtime_error("network namespaces are not available here (needs root and iproute2): " + error);
    }
    made_.push_back(name);
    if (auto error = runCommand({"ip", "-n", name, "link", "set", "lo", "up"}); !error.empty()) throw std::runtime_error(error);
    return name;
}

std::string NetworkNamespaces::run(const std::vector<std::vector<std::string>>& steps) {
    for (const auto& step : steps) {
        if (auto error = runCommand(step); !error.empty()) return error;
    }
    return {};
}

}  // namespace corvane::testing
