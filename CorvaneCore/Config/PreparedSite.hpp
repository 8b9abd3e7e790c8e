// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "CorvaneCore/Panel/PanelRecords.hpp"

namespace corvane {

// How one private site is reached for the running tunnel.
struct PreparedSite {
    SiteAccess site;  // endpointHost replaced by a local gateway address that answered
    bool onSite = false;
    bool viaLocal = false;
    bool disabled = false;

    bool tunnelled() const { return !onSite && !disabled; }
    bool operator==(const PreparedSite&) const = default;
};

}  // namespace corvane
