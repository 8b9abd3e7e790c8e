// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>

namespace corvane::fleet {

// A port on 127.0.0.1 that nothing listens on right now (TCP, or both TCP and UDP).
std::uint16_t freeTcpPort();
std::uint16_t freeTcpAndUdpPort();

// True once something accepts TCP connections on 127.0.0.1:`port`, polling until `limit`.
bool waitForTcpPort(std::uint16_t port, std::chrono::milliseconds limit);

}  // namespace corvane::fleet
