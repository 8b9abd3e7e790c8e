// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/fleet/BackgroundProcess.hpp"

namespace corvane::testing {

// A D-Bus session bus of a test's own (dbus-daemon, nothing started on demand),
// with the small services the test runs on it: the desktop's side of a test
// without touching the user's session. Stopped with the object.
class PrivateSessionBus {
public:
    explicit PrivateSessionBus(std::filesystem::path folder);
    ~PrivateSessionBus();

    // Empty when the bus runs; else why not (dbus-daemon or python3-dbus missing).
    const std::string& unavailableReason() const { return reason_; }
    std::string address() const { return "unix:path=" + (folder_ / "bus").string(); }

    // Runs tests/<script> with Debian's python3 (it has python3-dbus) on this bus and
    // waits for its first line, "ready". Its later lines are in serviceLog().
    void startService(const std::string& script, std::vector<std::string> args = {});
    void stopService();
    std::string serviceLog() const;

private:
    std::filesystem::path folder_;
    std::optional<fleet::BackgroundProcess> bus_;
    std::optional<fleet::BackgroundProcess> service_;
    std::string reason_;
};

}  // namespace corvane::testing
