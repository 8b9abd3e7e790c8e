// SPDX-License-Identifier: GPL-3.0-or-later
// The service's configuration allow-list: a checked configuration checks again
// unchanged; anything else is refused with a Refusal, or a JSONError when it is not JSON.
#include "CorvaneCore/Config/ConfigAllowList.hpp"
#include "fuzz/FuzzSupport.hpp"

using namespace corvane;

CORVANE_FUZZ_TARGET {
    std::string checked;
    try {
        checked = ConfigAllowList::checkText(fuzz::text(data, size));
    } catch (const ConfigAllowList::Refusal&) {
        return 0;
    } catch (const JSONError&) {
        return 0;
    }
    try {
        if (ConfigAllowList::checkText(checked) != checked) fuzz::fail("a checked configuration re-checks unchanged", checked);
    } catch (const ConfigAllowList::Refusal& e) {
        fuzz::fail("a checked configuration is accepted again", checked + "\n  " + e.description());
    }
    return 0;
}
