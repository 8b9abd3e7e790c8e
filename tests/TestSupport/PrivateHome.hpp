// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include "TestSupport/ScopedEnv.hpp"

namespace corvane::testing {

// A home of the test's own: HOME and the XDG folders under `home` (the runtime
// folder made), and no session bus, so a token goes to the owner-only file.
// Everything it sets is restored when it ends.
class PrivateHome {
public:
    explicit PrivateHome(const std::filesystem::path& home) : home_(home) {
        set("HOME", home.string());
        set("XDG_CONFIG_HOME", (home / "config").string());
        set("XDG_DATA_HOME", (home / "data").string());
        set("XDG_STATE_HOME", (home / "state").string());
        set("XDG_RUNTIME_DIR", (home / "run").string());
        set("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        std::filesystem::create_directories(home / "run");
    }

    // The agent a command started in this home ends with it.
    ~PrivateHome() { stopAgent(home_ / "run" / "corvane" / "agent.sock"); }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;

    // One more variable, restored with the rest.
    void set(const char* name, std::optional<std::string> value) { env_.emplace_back(name, std::move(value)); }

    // Asks the agent on `socket`, if one answers, to end, and waits (up to 10 s) until it has.
    static void stopAgent(const std::filesystem::path& socket);

private:
    std::filesystem::path home_;
    std::deque<ScopedEnv> env_;
};

}  // namespace corvane::testing
