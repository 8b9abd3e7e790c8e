// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <mutex>
#include <thread>

#include "Corvane/Platform/NetworkPath.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

// Follows the kernel's links, addresses and routes over rtnetlink on the thread
// "corvane.app.path-monitor". The path is satisfied when a default route leaves
// through an interface that is up; its interfaces are those that are up, not
// loopback and hold at least one address, in kernel index order.
class NetlinkPathMonitor final : public PathMonitor {
public:
    static constexpr const char* threadName = "corvane.app.path-monitor";

    NetlinkPathMonitor() = default;
    ~NetlinkPathMonitor() override;

    // Without rtnetlink (a sandbox) the handler is never called and the log says why.
    void start(Handler handler) override;
    void cancel() override;

    // The path as the kernel describes it now, from this thread's network namespace.
    // Throws std::system_error.
    static NetworkPath current();

private:
    void run();

    std::mutex mutex_;
    std::thread thread_;
    FileDescriptor events_;
    FileDescriptor wake_;
    Handler handler_;
};

}  // namespace corvane
