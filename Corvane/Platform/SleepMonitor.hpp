// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

namespace corvane {

// Tells when the machine is about to sleep and when it woke.
class SleepMonitor {
public:
    virtual ~SleepMonitor() = default;
    // The handlers run on the monitor's own thread, once per sleep and once per wake.
    virtual void start(std::function<void()> willSleep, std::function<void()> didWake) = 0;
    // Stops reporting; no handler runs afterwards.
    virtual void cancel() = 0;
};

}  // namespace corvane
