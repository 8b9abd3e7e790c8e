// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "CorvaneCore/Support/Task.hpp"

namespace corvane {

// Asks whether a private-site gateway answers on a LAN address: a gateway
// greets every TCP connection on its WireGuard port number with a banner.
namespace SiteBeacon {

inline constexpr std::string_view greeting = "corvane-site-gateway/1\n";
inline constexpr std::size_t maxRead = 64;
inline constexpr std::chrono::milliseconds timeout{700};

// True when the peer's first bytes are the banner. Only plain IPv4 addresses
// are tried, never one the device itself would answer; nothing is sent, at
// most 64 bytes are read, and every failure (including the time limit) is false.
Async<bool> answers(std::string host, std::uint16_t port, std::chrono::steady_clock::duration limit = timeout);

// Whether the kernel would deliver traffic to this address (host order) over
// loopback: 0.0.0.0/8, 127.0.0.0/8, the device's own addresses, local routes.
bool isDeliveredLocally(std::uint32_t address);

}  // namespace SiteBeacon

}  // namespace corvane
