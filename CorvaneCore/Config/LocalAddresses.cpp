// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/LocalAddresses.hpp"

#include <bit>
#include <charconv>
#include <cstdint>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace corvane::LocalAddresses {

std::vector<InterfaceAddress> ipv4Interfaces() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0 || !list) return out;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        char host[1025];
        if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        int length = 32;
        if (entry->ifa_netmask && entry->ifa_netmask->sa_family == AF_INET) {
            auto* mask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask);
            length = std::popcount(static_cast<std::uint32_t>(mask->sin_addr.s_addr));
        }
        out.push_back({entry->ifa_name ? entry->ifa_name : "", host, length});
    }
    freeifaddrs(list);
    return out;
}

std::vector<std::pair<std::string, std::string>> ipv4ByInterface() {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& entry : ipv4Interfaces()) out.emplace_back(std::move(entry.interface), std::move(entry.address));
    return out;
}

std::vector<IPv4Prefix> ipv4Prefixes(const std::function<bool(std::string_view)>& interface) {
    std::vector<IPv4Prefix> out;
    for (const auto& entry : ipv4Interfaces()) {
        if (!interface(entry.interface)) continue;
        if (auto address = IPv4Prefix::parseAddress(entry.address)) out.emplace_back(*address, entry.prefixLength);
    }
    return out;
}

bool isLanInterfaceName(std::string_view name) {
    return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

std::optional<std::string> lan(const std::vector<InterfaceAddress>& interfaces) {
    for (const auto& entry : interfaces) {
        if (isLanInterfaceName(entry.interface) && isPrivate(entry.address)) return entry.address;
    }
    return std::nullopt;
}

std::optional<std::string> lan() {
    return lan(ipv4Interfaces());
}

bool isPrivate(std::string_view address) {
    // Pieces that are not numbers are skipped, as are empty ones.
    long long numbers[4];
    int count = 0;
    std::size_t start = 0;
    while (start <= address.size()) {
        std::size_t dot = address.find('.', start);
        if (dot == std::string_view::npos) dot = address.size();
        std::string_view piece = address.substr(start, dot - start);
        if (!piece.empty()) {
            std::string_view digits = piece;
            if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
            long long value = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
            bool isNumber = !digits.empty() && digits.front() != '-' && ec == std::errc() && end == digits.data() + digits.size();
            if (isNumber) {
                if (count == 4) return false;
                numbers[count++] = piece.front() == '-' ? -value : value;
            }
        }
        start = dot + 1;
    }
    if (count != 4) return false;
    if (numbers[0] == 10) return true;
    if (numbers[0] == 192 && numbers[1] == 168) return true;
    return numbers[0] == 172 && numbers[1] >= 16 && numbers[1] <= 31;
}

}  // namespace corvane::LocalAddresses
