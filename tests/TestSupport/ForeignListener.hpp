// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace corvane::testing {

// A TCP listener on 127.0.0.1 whose socket belongs to `uid` (another local
// account, as the kernel's socket table shows it), standing in for a program
// of that account that took a port first. It answers every connection with a
// 200 and keeps whatever it was sent. Needs root to take another uid.
class ForeignListener {
public:
    // On `port`, or a free one when 0. Throws std::runtime_error when it cannot listen.
    explicit ForeignListener(uid_t uid, std::uint16_t port = 0);
    ~ForeignListener();
    ForeignListener(const ForeignListener&) = delete;
    ForeignListener& operator=(const ForeignListener&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    int connections() const noexcept { return connections_.load(); }
    std::string received() const;

private:
    void serve();

    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// A socket made with `uid` as its owner: only this thread takes the uid for a
// moment (the raw system call, not the process-wide library one).
int socketOwnedBy(uid_t uid, int family, int type);

}  // namespace corvane::testing
