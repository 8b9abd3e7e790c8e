// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/SiteBeacon.hpp"

#include <array>
#include <cstring>
#include <optional>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/Timeout.hpp"

namespace corvane::SiteBeacon {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

bool isOwnAddress(std::uint32_t address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    // Any interface, up or not: its address still belongs to this device.
    for (ifaddrs* entry = list; entry && !found; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        found = ntohl(in->sin_addr.s_addr) == address;
    }
    freeifaddrs(list);
    return found;
}

bool isLoopbackInterface(int index) {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(index), name)) return false;
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return false;
    ifreq request{};
    std::memcpy(request.ifr_name, name, ::strnlen(name, IF_NAMESIZE - 1));
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) return false;
    return (request.ifr_flags & IFF_LOOPBACK) != 0;
}

// Asks the kernel's routing table where traffic to `address` would go; nothing
// when the question cannot be asked.
std::optional<bool> routeIsLocal(std::uint32_t address) {
    FileDescriptor fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (fd.get() < 0) return std::nullopt;
    timeval wait{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);

    struct {
        nlmsghdr header;
        rtmsg message;
        char attributes[64];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.message.rtm_family = AF_INET;
    request.message.rtm_dst_len = 32;
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    attribute->rta_type = RTA_DST;
    attribute->rta_len = RTA_LENGTH(sizeof(std::uint32_t));
    std::uint32_t destination = htonl(address);
    std::memcpy(RTA_DATA(attribute), &destination, sizeof destination);
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_LENGTH(sizeof(std::uint32_t));

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) char reply[8192];
    ssize_t received = ::recv(fd.get(), reply, sizeof reply, 0);
    if (received <= 0) return std::nullopt;
    int length = static_cast<int>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(header, static_cast<unsigned>(length));
         header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_ERROR) {
            // No route at all: nothing local, and the connection fails by itself.
            auto* error = static_cast<nlmsgerr*>(NLMSG_DATA(header));
            if (error->error == 0) continue;
            return false;
        }
        if (header->nlmsg_type != RTM_NEWROUTE) continue;
        auto* route = static_cast<rtmsg*>(NLMSG_DATA(header));
        if (route->rtm_type == RTN_LOCAL) return true;
        int attributesLength = static_cast<int>(RTM_PAYLOAD(header));
        for (auto* a = RTM_RTA(route); RTA_OK(a, attributesLength); a = RTA_NEXT(a, attributesLength)) {
            if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof(int)) {
                int index;
                std::memcpy(&index, RTA_DATA(a), sizeof index);
                if (isLoopbackInterface(index)) return true;
            }
        }
        return false;
    }
    return std::nullopt;
}

// One connection: read until the banner is complete, the peer closes or errs,
// or 64 bytes have arrived. The caller's time limit cancels it.
Async<bool> readBanner(std::uint32_t address, std::uint16_t port) {
    auto executor = co_await asio::this_coro::executor;
    tcp::socket socket(executor);
    auto [connectError] = co_await socket.async_connect(tcp::endpoint(asio::ip::address_v4(address), port),
                                                        asio::as_tuple(asio::use_awaitable));
    if (connectError) co_return false;
    std::array<char, maxRead> got{};
    std::size_t count = 0;
    while (count < maxRead) {
        auto [readError, n] = co_await socket.async_read_some(asio::buffer(got.data() + count, maxRead - count),
                                                              asio::as_tuple(asio::use_awaitable));
        count += n;
        if (count >= greeting.size() && std::memcmp(got.data(), greeting.data(), greeting.size()) == 0) co_return true;
        if (readError) co_return false;  // closed, reset or cancelled
    }
    co_return false;
}

}  // namespace

bool isDeliveredLocally(std::uint32_t address) {
    if ((address >> 24) == 0 || (address >> 24) == 127) return true;
    if (isOwnAddress(address)) return true;
    return routeIsLocal(address).value_or(false);
}

Async<bool> answers(std::string host, std::uint16_t port, std::chrono::steady_clock::duration limit) {
    if (host.find('/') != std::string::npos) co_return false;
    auto prefix = IPv4Prefix::parse(host);
    if (!prefix || prefix->length() != 32 || port == 0) co_return false;
    // The device must never answer for a gateway.
    if (isDeliveredLocally(prefix->address())) co_return false;
    try {
        co_return co_await withTimeout(limit, readBanner(prefix->address(), port));
    } catch (...) {
        // The time limit, or the caller's cancellation: no answer.
        co_return false;
    }
}

}  // namespace corvane::SiteBeacon
