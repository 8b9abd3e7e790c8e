// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvane {

struct NetworkInterface {
    std::string name;
    int index = 0;
    bool operator==(const NetworkInterface&) const = default;
};

// The device's network path: whether traffic can leave it, and through which interfaces.
struct NetworkPath {
    bool satisfied = false;
    std::vector<NetworkInterface> interfaces;  // in the order the system gives them

    // "true:eth0:2,wlan0:3"; "false:" with no usable path and no interfaces.
    std::string signature() const;
    bool operator==(const NetworkPath&) const = default;
};

// Reports network path changes.
class PathMonitor {
public:
    using Handler = std::function<void(const NetworkPath&)>;
    virtual ~PathMonitor() = default;
    // `handler` runs on the monitor's own thread: once at start, then on every change.
    virtual void start(Handler handler) = 0;
    // Stops reporting; the handler is not running and not called afterwards.
    virtual void cancel() = 0;
};

}  // namespace corvane
