// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/AppGroupError.hpp"

namespace corvane {

AppGroupError::AppGroupError(Case c, std::string identifier) : case_(c), identifier_(std::move(identifier)) {
    description_ = "App group container \"" + identifier_ +
                   "\" is unavailable. The app-groups entitlement is missing, misspelled, or (on macOS) lacks the "
                   "team-identifier prefix.";
}

AppGroupError AppGroupError::containerUnavailable(std::string identifier) {
    return AppGroupError(Case::containerUnavailable, std::move(identifier));
}

}  // namespace corvane
