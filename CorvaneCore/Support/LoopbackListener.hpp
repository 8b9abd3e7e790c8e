// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {

// Who listens on a TCP port of 127.0.0.1. The engine's control API is such a
// port, and any local account may race for a port on loopback: a secret goes
// there only once the kernel says the listener is the expected account's.
struct LoopbackListener {
    std::uint32_t uid = 0;
    std::uint64_t inode = 0;  // the listening socket's, as /proc/PID/fd names it ("socket:[inode]")
    bool operator==(const LoopbackListener&) const = default;
    auto operator<=>(const LoopbackListener&) const = default;
};

// Every TCP listener that a connection to 127.0.0.1:`port` could reach (bound
// to 127.0.0.1 or to a wildcard address, IPv4 or dual-stack IPv6), from the
// kernel's socket table (sock_diag). Throws std::system_error when the table
// cannot be read.
std::vector<LoopbackListener> loopbackListeners(std::uint16_t port);

// The socket inodes process `pid` and the processes it started hold open;
// nothing when its descriptors cannot be read (another account's process
// without the right to look).
std::optional<std::set<std::uint64_t>> socketInodesOf(pid_t pid);

// What the owner of a control port must be.
struct ListenerExpectation {
    std::uint32_t uid = 0;
    // When known, the listener must also be one of these sockets (the engine process's own).
    std::optional<std::set<std::uint64_t>> inodes;
};

// The listeners on 127.0.0.1:`port` when every one of them meets `expected`;
// otherwise a sentence saying why not (nobody listens, or whose it is).
struct ListenerCheck {
    std::vector<LoopbackListener> listeners;  // sorted; empty when refused
    std::optional<std::string> refusal;
    bool nobodyListens = false;  // refused only because nothing listens yet
    explicit operator bool() const noexcept { return !refusal; }
};
ListenerCheck checkLoopbackListener(std::uint16_t port, const ListenerExpectation& expected);

}  // namespace corvane
