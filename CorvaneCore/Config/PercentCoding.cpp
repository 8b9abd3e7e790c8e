// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/PercentCoding.hpp"

#include <algorithm>

#include "CorvaneCore/Support/UTF8.hpp"

namespace corvane::PercentCoding {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string decode(std::string_view text) {
    if (text.find('%') == std::string_view::npos) return repairUTF8(text);
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int h = hexValue(text[i + 1]), l = hexValue(text[i + 2]);
            if (h >= 0 && l >= 0) {
                bytes += static_cast<char>(h * 16 + l);
                i += 2;
                continue;
            }
        }
        bytes += text[i];
    }
    return repairUTF8(bytes);
}

std::vector<std::pair<std::string, std::string>> formURLPairs(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> pairs;
    auto formDecode = [](std::string_view s) {
        std::string plus(s);
        std::replace(plus.begin(), plus.end(), '+', ' ');
        return decode(plus);
    };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t amp = text.find('&', start);
        if (amp == std::string_view::npos) amp = text.size();
        std::string_view piece = text.substr(start, amp - start);
        if (!piece.empty()) {
            std::size_t eq = piece.find('=');
            if (eq == std::string_view::npos) {
                pairs.emplace_back(formDecode(piece), std::string());
            } else {
                pairs.emplace_back(formDecode(piece.substr(0, eq)), formDecode(piece.substr(eq + 1)));
            }
        }
        start = amp + 1;
    }
    return pairs;
}

}  // namespace corvane::PercentCoding
