// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Support/UTF8.hpp"

namespace corvane {

int utf8SequenceAt(std::string_view bytes, std::size_t at) noexcept {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char b0 = byte(at);
    if (b0 < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
        if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;  // no overlong forms
        if (b0 == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return -1;  // a continuation byte, C0, C1 or F5 to FF
    }
    for (int k = 1; k <= need; ++k) {
        if (at + k >= bytes.size()) return -k;
        const unsigned char b = byte(at + k);
        const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return -k;
    }
    return need + 1;
}

bool isValidUTF8(std::string_view bytes) noexcept {
    for (std::size_t i = 0; i < bytes.size();) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const int n = utf8SequenceAt(bytes, i);
        if (n < 0) return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

void appendRepairedUTF8(std::string& out, std::string_view bytes) {
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const int n = utf8SequenceAt(bytes, i);
        if (n > 0) {
            i += static_cast<std::size_t>(n);
            continue;
        }
        out.append(bytes.substr(runStart, i - runStart));
        out.append(replacementCharacter);
        i += static_cast<std::size_t>(-n);
        runStart = i;
    }
    out.append(bytes.substr(runStart));
}

std::string repairUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    appendRepairedUTF8(out, bytes);
    return out;
}

}  // namespace corvane
