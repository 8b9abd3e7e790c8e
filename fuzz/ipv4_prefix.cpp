// SPDX-License-Identifier: GPL-3.0-or-later
// IPv4 prefixes and addresses: what parses prints as text that parses to the same value.
#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    const auto in = fuzz::text(data, size);
    if (auto prefix = IPv4Prefix::parse(in)) {
        const std::string printed = prefix->description();
        const auto again = IPv4Prefix::parse(printed);
        if (!again || *again != *prefix) fuzz::fail("a printed prefix parses to itself", printed);
        if (!prefix->contains(*prefix)) fuzz::fail("a prefix contains itself", printed);
    }
    if (auto address = IPv4Prefix::parseAddress(in)) {
        const std::string printed = IPv4Prefix::addressText(*address);
        if (IPv4Prefix::parseAddress(printed) != address) fuzz::fail("a printed address parses to itself", printed);
    }
    return 0;
}
