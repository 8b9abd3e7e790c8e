// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/IPv4Prefix.hpp"

#include <algorithm>

namespace corvane {

namespace {

std::uint32_t mask(int length) {
    return length <= 0 ? 0u : (length >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length));
}

}  // namespace

IPv4Prefix::IPv4Prefix(std::uint32_t address, int length)
    : address_(address & mask(std::clamp(length, 0, 32))), length_(std::clamp(length, 0, 32)) {}

std::optional<std::uint32_t> IPv4Prefix::parseAddress(std::string_view text) {
    std::uint32_t result = 0;
    int pieces = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = text.find('.', start);
        std::string_view piece = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        // Digits only: a signed piece is not a dotted quad.
        if (piece.empty() || piece.size() > 3 || ++pieces > 4) return std::nullopt;
        std::uint32_t octet = 0;
        for (char c : piece) {
            if (c < '0' || c > '9') return std::nullopt;
            octet = octet * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (octet > 255) return std::nullopt;
        result = (result << 8) | octet;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (pieces != 4) return std::nullopt;
    return result;
}

std::optional<IPv4Prefix> IPv4Prefix::parse(std::string_view text) {
    std::size_t slash = text.find('/');
    auto address = parseAddress(text.substr(0, slash));
    if (!address) return std::nullopt;
    if (slash == std::string_view::npos) return IPv4Prefix(*address, 32);
    std::string_view lengthText = text.substr(slash + 1);
    if (lengthText.empty()) return std::nullopt;
    int length = 0;
    for (char c : lengthText) {
        if (c < '0' || c > '9') return std::nullopt;
        length = std::min(length * 10 + (c - '0'), 100);
    }
    if (length > 32) return std::nullopt;
    return IPv4Prefix(*address, length);
}

bool IPv4Prefix::contains(const IPv4Prefix& other) const noexcept {
    if (other.length_ < length_) return false;
    if (length_ == 0) return address_ == 0;
    return (other.address_ & mask(length_)) == address_;
}

std::string IPv4Prefix::addressText(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) + "." +
           std::to_string(a & 0xFF);
}

std::string IPv4Prefix::description() const {
    return addressText(address_) + "/" + std::to_string(length_);
}

}  // namespace corvane
