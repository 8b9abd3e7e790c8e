// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <mutex>
#include <thread>

#include "Corvane/Platform/SleepMonitor.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

// logind's PrepareForSleep signal on the system bus (true before sleep, false
// after wake). Where no system bus or logind answers, it reports nothing and
// says so once in the log.
class LogindSleepMonitor final : public SleepMonitor {
public:
    LogindSleepMonitor() = default;
    ~LogindSleepMonitor() override;

    void start(std::function<void()> willSleep, std::function<void()> didWake) override;
    void cancel() override;

private:
    void run(void* bus);

    std::mutex mutex_;
    std::thread thread_;
    FileDescriptor wake_;
    std::function<void()> willSleep_, didWake_;
};

}  // namespace corvane
