// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// An IPv4 network: an address in host order with its host bits cleared, and a
// prefix length within 0...32.
class IPv4Prefix {
public:
    // Clamps the length to 0...32 and clears the host bits.
    IPv4Prefix(std::uint32_t address, int length);

    // "a.b.c.d" (length 32) or "a.b.c.d/n"; nothing for anything else.
    static std::optional<IPv4Prefix> parse(std::string_view text);
    // Exactly four pieces of one to three decimal digits, each at most 255.
    static std::optional<std::uint32_t> parseAddress(std::string_view text);

    std::uint32_t address() const noexcept { return address_; }
    int length() const noexcept { return length_; }

    bool contains(const IPv4Prefix& other) const noexcept;
    bool overlaps(const IPv4Prefix& other) const noexcept { return contains(other) || other.contains(*this); }

    // "192.168.1.0/24"
    std::string description() const;
    static std::string addressText(std::uint32_t address);

    bool operator==(const IPv4Prefix&) const = default;

private:
    std::uint32_t address_;
    int length_;
};

}  // namespace corvane

template <>
struct std::hash<corvane::IPv4Prefix> {
    std::size_t operator()(const corvane::IPv4Prefix& p) const noexcept {
        return std::hash<std::uint64_t>{}((std::uint64_t(p.address()) << 8) | std::uint64_t(p.length()));
    }
};
