// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvane::testing {

// Runs `work` with the calling thread in the named network namespace (the
// test's own when `name` is empty), then moves it back. Sockets made there,
// threads started there and processes forked there belong to that namespace for good.
void inNetworkNamespace(const std::string& name, const std::function<void()>& work);

// Runs a command; "" when it succeeded, else what went wrong.
std::string runCommand(const std::vector<std::string>& argv);

// Network namespaces that belong to one test process: named `prefix` + its
// pid + a letter, deleted when this is destroyed. Namespaces of earlier runs
// whose process is gone are deleted first. Nothing outside them is touched.
class NetworkNamespaces {
public:
    explicit NetworkNamespaces(std::string prefix);
    ~NetworkNamespaces();
    NetworkNamespaces(const NetworkNamespaces&) = delete;
    NetworkNamespaces& operator=(const NetworkNamespaces&) = delete;

    // Makes the namespace `prefix` + pid + `letter` with its loopback up and
    // returns its name; throws with the reason when namespaces are not allowed.
    std::string add(char letter);
    // Runs each command in order; "" or the first failure.
    static std::string run(const std::vector<std::vector<std::string>>& steps);

private:
    std::string prefix_;
    std::vector<std::string> made_;
};

}  // namespace corvane::testing
