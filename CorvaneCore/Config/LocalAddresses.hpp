// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CorvaneCore/Config/IPv4Prefix.hpp"

namespace corvane {

// The device's IPv4 interface addresses.
namespace LocalAddresses {

struct InterfaceAddress {
    std::string interface;  // as the system names it
    std::string address;    // dotted quad
    int prefixLength = 32;

    bool operator==(const InterfaceAddress&) const = default;
};

// IPv4 addresses of the interfaces that are up and not loopback, in system order.
std::vector<InterfaceAddress> ipv4Interfaces();
// (interface, address) pairs in system order.
std::vector<std::pair<std::string, std::string>> ipv4ByInterface();
// Networks of the interfaces whose names the predicate accepts.
std::vector<IPv4Prefix> ipv4Prefixes(const std::function<bool(std::string_view)>& interface);

// The address offered for LAN sharing: the first private address of an Ethernet
// or Wi-Fi interface.
std::optional<std::string> lan();
std::optional<std::string> lan(const std::vector<InterfaceAddress>& interfaces);
// Ethernet and Wi-Fi names on Linux: "en..." (predictable names), "eth..." and "wl...".
bool isLanInterfaceName(std::string_view name);

// 10/8, 172.16/12 and 192.168/16.
bool isPrivate(std::string_view address);

}  // namespace LocalAddresses

}  // namespace corvane
