// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include <sys/types.h>

#include <boost/asio/io_context.hpp>

#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "Corvane/Tunnel/TunnelController.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane::testing {

// The app's side of the tunnel service: a TunnelController over the socket,
// on a loop of its own that the test runs.
class AppSide {
public:
    explicit AppSide(const std::filesystem::path& socket);

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(io, std::move(work));
    }
    // Processes events until `condition` holds or `limit` passes.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5));

    boost::asio::io_context io;
    std::shared_ptr<ServiceTunnelPlatform> platform;
    TunnelController controller;
};

// Connects to the service's socket, sends `bytes` and reads one reply line
// (nothing when `readReply` is false); "connect failed: <reason>" when the
// connection is refused.
std::string rawExchange(const std::filesystem::path& socket, const std::string& bytes, bool readReply = true);

// A tunnel service that takes connections and never answers, until the
// descriptor is closed: a listening Unix socket at `socket`.
FileDescriptor silentService(const std::filesystem::path& socket);

// rawExchange from a child process that runs as `uid`/`gid` (the test must be root).
std::string rawExchangeAs(uid_t uid, gid_t gid, const std::filesystem::path& socket, const std::string& bytes);

}  // namespace corvane::testing
