#include "CorvaneCore/Config/PercentCoding.hpp"

#include <algorithm>

namespace corvane::PercentCoding {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of the valid UTF-8 sequence at `i`, or of the maximal invalid subpart
// (negated) that one replacement character stands for.
int sequenceAt(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return -1;
    }
    for (int k = 1; k <= need; ++k) {
        if (i + k >= s.size()) return -k;
        unsigned char b = byte(i + k);
        bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return -k;
    }
    return need + 1;
}

}  // namespace

std::string repairUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        int n = sequenceAt(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, static_cast<std::size_t>(n)));
            i += static_cast<std::size_t>(n);
        } else {
            out += "\xEF\xBF\xBD";
            i += static_cast<std::size_t>(-n);
        }
    }
    return out;
}

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
