// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/SocketAddress.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace corvane::testing {

sockaddr_storage socketAddress(const char* text, std::uint16_t port) {
    sockaddr_storage storage{};
    if (std::strchr(text, ':')) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        ::inet_pton(AF_INET6, text, &a->sin6_addr);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        ::inet_pton(AF_INET, text, &a->sin_addr);
    }
    return storage;
}

socklen_t socketAddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace corvane::testing
