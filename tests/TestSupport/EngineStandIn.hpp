// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace corvane::testing {

// A shell script standing in for the engine: it answers the version check the
// service makes at start as an engine of the service's series would, and
// otherwise runs `body`.
inline std::string engineStandIn(const std::string& body) {
    return "#!/bin/sh\nif [ \"$1\" = version ]; then echo 'sing-box version " CORVANE_ENGINE_SERIES ".99'; exit 0; fi\n" + body;
}

}  // namespace corvane::testing
