// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/Splitter.hpp"

#include <algorithm>

#include "CorvaneCore/Config/PercentCoding.hpp"
#include "CorvaneCore/Config/ShareUrl.hpp"

namespace corvane::Splitter {

std::uint16_t port(std::string_view text) {
    auto bad = [&]() { return ShareUrlError::malformed("bad port: " + std::string(text)); };
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) throw bad();
    std::uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') throw bad();
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) throw bad();
    }
    if (negative && value != 0) throw bad();
    return static_cast<std::uint16_t>(value);
}

HostPort splitHostPort(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos) throw ShareUrlError::malformed("unterminated IPv6 literal");
        HostPort out{std::string(text.substr(1, close - 1)), std::nullopt};
        std::string_view after = text.substr(close + 1);
        if (!after.empty() && after.front() == ':') out.port = port(after.substr(1));
        return out;
    }
    std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return {std::string(text), std::nullopt};
    return {std::string(text.substr(0, colon)), port(text.substr(colon + 1))};
}

Parts split(std::string_view text) {
    std::size_t marker = text.find("://");
    if (marker == std::string_view::npos) throw ShareUrlError::malformed("expected scheme://");
    Parts parts;
    parts.scheme = std::string(text.substr(0, marker));
    if (parts.scheme.empty()) throw ShareUrlError::malformed("empty scheme");
    std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); });

    std::string_view rest = text.substr(marker + 3);
    if (std::size_t hash = rest.find('#'); hash != std::string_view::npos) {
        parts.fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    std::string_view query;
    if (std::size_t question = rest.find('?'); question != std::string_view::npos) {
        query = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    if (std::size_t slash = rest.find('/'); slash != std::string_view::npos) rest = rest.substr(0, slash);

    std::string_view hostPort = rest;
    // The last "@" splits, so an "@" inside the user information needs no escaping.
    if (std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        parts.rawUserinfo = std::string(rest.substr(0, at));
        hostPort = rest.substr(at + 1);
    }
    HostPort hp = splitHostPort(hostPort);
    parts.host = std::move(hp.host);
    parts.port = hp.port;
    parts.queryPairs = PercentCoding::formURLPairs(query);
    return parts;
}

}  // namespace corvane::Splitter
