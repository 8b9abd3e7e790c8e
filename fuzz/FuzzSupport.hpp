// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Shared by the fuzz targets: each defines LLVMFuzzerTestOneInput and checks a
// property of one decoder beyond "no crash". Built with libFuzzer by
// scripts/fuzz.sh, or (Replay.cpp) as a plain program that feeds it files.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "property broken: %s\n  %.*s\n", what, static_cast<int>(detail.size() > 2000 ? 2000 : detail.size()),
                 detail.data());
    std::abort();
}

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The input split at its first newline: two texts for targets that compare.
inline std::pair<std::string_view, std::string_view> halves(std::string_view in) {
    const auto nl = in.find('\n');
    if (nl == std::string_view::npos) return {in, {}};
    return {in.substr(0, nl), in.substr(nl + 1)};
}

// A record that decodes must encode to text that decodes to the same record and
// encodes to the same text again. Bad input may only fail with DecodingError.
template <Record T>
void recordRoundTrip(std::string_view in) {
    T first;
    try {
        first = decodeJSON<T>(in);
    } catch (const DecodingError&) {
        return;
    }
    const std::string encoded = encodeJSON(first);
    T second;
    try {
        second = decodeJSON<T>(std::string_view(encoded));
    } catch (const DecodingError& e) {
        fail("an encoded record decodes", std::string(T::recordName) + ": " + e.what() + "\n  " + encoded);
    }
    if (!(second == first)) fail("decode, encode, decode gives the same record", encoded);
    if (encodeJSON(second) != encoded) fail("a record encodes the same twice", encoded);
}

}  // namespace corvane::fuzz

#define CORVANE_FUZZ_TARGET extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
