// SPDX-License-Identifier: GPL-3.0-or-later
// JSONValue: parse, write (compact and indented), parse gives the same value.
#include "CorvaneCore/Support/JSONValue.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    JSONValue value;
    try {
        value = JSONValue::parse(fuzz::text(data, size));
    } catch (const JSONError&) {
        return 0;
    }
    for (int indent : {0, 2}) {
        const std::string written = value.serialize(indent);
        JSONValue again;
        try {
            again = JSONValue::parse(written);
        } catch (const JSONError& e) {
            fuzz::fail("written JSON parses", written + "\n  " + e.what());
        }
        if (!(again == value)) fuzz::fail("parse, write, parse gives the same value", written);
        if (again.serialize(indent) != written) fuzz::fail("a value writes the same twice", written);
    }
    return 0;
}
