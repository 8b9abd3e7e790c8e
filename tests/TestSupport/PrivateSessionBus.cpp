// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/PrivateSessionBus.hpp"

#include <stdexcept>
#include <thread>

#include "tools/fleet/TempDir.hpp"

namespace corvane::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* python = "/usr/bin/python3";

std::string programPath(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        if (fs::exists(fs::path(dir) / name)) return (fs::path(dir) / name).string();
    }
    return {};
}

}  // namespace

PrivateSessionBus::PrivateSessionBus(fs::path folder) : folder_(std::move(folder)) {
    const std::string dbus = programPath("dbus-daemon");
    if (dbus.empty() || !fs::exists(python)) {
        reason_ = "dbus-daemon or /usr/bin/python3 is not installed";
        return;
    }
    if (std::system("/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null") != 0) {
        reason_ = "/usr/bin/python3 lacks python3-dbus or python3-gi";
        return;
    }
    fs::create_directories(folder_);
    // No service directories: nothing starts on demand, so only the test's services answer.
    fleet::writeFile(folder_ / "bus.conf", R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" + address() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    bus_.emplace(std::vector<std::string>{dbus, "--config-file=" + (folder_ / "bus.conf").string(), "--nofork", "--nopidfile"},
                 folder_ / "dbus.log");
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !fs::exists(folder_ / "bus") && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(20ms);
    }
    if (!fs::exists(folder_ / "bus")) reason_ = "cannot start a private D-Bus session: " + bus_->log();
}

PrivateSessionBus::~PrivateSessionBus() {
    service_.reset();
    bus_.reset();
}

void PrivateSessionBus::startService(const std::string& script, std::vector<std::string> args) {
    service_.reset();
    std::vector<std::string> argv{python, "-u", std::string(CORVANE_SOURCE_DIR) + "/tests/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    const fs::path log = folder_ / (fs::path(script).stem().string() + ".log");
    std::error_code ignored;
    fs::remove(log, ignored);
    service_.emplace(std::move(argv), log, std::vector<std::string>{"DBUS_SESSION_BUS_ADDRESS=" + address()});
    for (auto deadline = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < deadline;) {
        if (serviceLog().find("ready\n") != std::string::npos) return;
        if (!service_->isRunning()) break;
        std::this_thread::sleep_for(20ms);
    }
    throw std::runtime_error(script + " did not start: " + serviceLog());
}

void PrivateSessionBus::stopService() { service_.reset(); }

std::string PrivateSessionBus::serviceLog() const { return service_ ? service_->log() : std::string(); }

}  // namespace corvane::testing
