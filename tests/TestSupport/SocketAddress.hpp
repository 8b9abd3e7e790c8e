// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace corvane::testing {

// An IPv4 or IPv6 socket address from its text form ("203.0.113.10", "2001:db8::1") and a port.
sockaddr_storage socketAddress(const char* text, std::uint16_t port);
// The length to pass with `address` to connect, bind or sendto.
socklen_t socketAddressLength(const sockaddr_storage& address);

}  // namespace corvane::testing
